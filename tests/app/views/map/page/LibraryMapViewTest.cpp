#include "app/views/map/page/LibraryMapView.h"

#include "app/services/rotation/RotationWriter.h"
#include "app/views/common/ViewerToolbarHost.h"
#include "app/views/viewer/ViewerToolbarItems.h"

#include "app/views/library/LibraryContentModel.h"
#include "app/views/library/LibraryDetailView.h"
#include "app/views/map/MapPin.h"
#include "app/views/map/MediaLocationMapView.h"
#include "app/views/viewer/PhotoDetailView.h"

#include "support/app/MapTestSupport.h"
#include "support/app/ShellTestContext.h"
#include "support/app/Wait.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QHelpEvent>
#include <QLabel>
#include <QMutex>
#include <QPainter>
#include <QRegion>
#include <QTest>
#include <QTextDocument>
#include <QTimeZone>
#include <QToolButton>
#include <QToolTip>

#include <atomic>
#include <memory>

using namespace app;
using app::test::waitFor;

namespace {

// Hands every scan the same items at once, and counts the scans.
class FixedScanner final : public FolderScanner {
public:
    explicit FixedScanner(MediaItems items) : items_(std::move(items)) {}
    MediaItems scan(const QString&, const MediaScanner::ProgressCallback&, const CancellationToken&) override
    {
        ++scans;
        return items_;
    }
    std::atomic_int scans{0};

private:
    MediaItems items_;
};

MediaItem item(const QString& name, std::optional<double> latitude = std::nullopt,
               std::optional<double> longitude = std::nullopt, int year = 2024)
{
    MediaItem i;
    i.url = "/lib/" + name;
    i.captureDate = QDateTime(QDate(year, 3, 1), QTime(9, 0), QTimeZone::utc());
    i.latitude = latitude;
    i.longitude = longitude;
    return i;
}

MediaItems unlocated(int count)
{
    MediaItems items;
    for (int i = 0; i < count; ++i)
        items.append(item(QString("plain%1.jpg").arg(i)));
    return items;
}

struct MapPage {
    explicit MapPage(const MediaItems& items, bool unplugged = false) : services(QString("中国"))
    {
        shell.context.thumbnails = &services.thumbnails;
        shell.context.rotations = &rotations;
        library = shell.addLibrary("家庭相册");
        if (unplugged)
            shell.unplug(library);
        scanner = std::make_shared<FixedScanner>(items);
        view = std::make_unique<LibraryMapView>(shell.context, library, scanner, services.mapEnvironment());
        view->resize(1000, 700);
    }

    bool settle()
    {
        return waitFor([this] { return !view->isLoading() && !view->isClustering(); });
    }

    app::testing::ShellTestContext shell;
    app::testing::MapServicesHarness services;
    RotationWriter rotations{nullptr, [](const QString&, int) {}};
    PhotoLibrary library;
    std::shared_ptr<FixedScanner> scanner;
    std::unique_ptr<LibraryMapView> view;
};

const MapPhotoCluster* clusterHolding(const LibraryMapView& view, const QString& name)
{
    for (const MapPhotoCluster& cluster : view.clusters())
        for (const MediaItem& i : cluster.items)
            if (i.url.endsWith("/" + name))
                return &cluster;
    return nullptr;
}

void clickPin(LibraryMapView& view, const MapPhotoCluster& cluster)
{
    const QPoint at = view.map()->camera().viewportPoint(cluster.coordinate).toPoint();
    QTest::mouseClick(view.map(), Qt::LeftButton, {}, at);
}

} // namespace

// The subtitle and the state shown for loading, unavailable, empty and located libraries.
TEST(LibraryMapView, SubtitleAndStates)
{
    MediaItems some = unlocated(3280);
    for (int i = 0; i < 120; ++i)
        some.append(item(QString("gps%1.jpg").arg(i), 30 + i * 0.01, 120));
    struct Row {
        const char* name;
        MediaItems items;
        bool unplugged;
        QString subtitle;
        enum { unavailable, map, emptyMap } shows;
    };
    const Row rows[] = {
        {"120 of 3400 located", some, false, "120 / 3400 个有位置 · 家庭相册", Row::map},
        {"none of 3400 located", unlocated(3400), false, "0 / 3400 个有位置 · 家庭相册", Row::emptyMap},
        {"empty library", {}, false, "家庭相册", Row::emptyMap},
        {"drive not connected", some, true, "家庭相册", Row::unavailable},
    };
    for (const Row& row : rows) {
        MapPage page(row.items, row.unplugged);
        page.view->show();
        if (!row.unplugged) {
            EXPECT_EQ(page.view->subtitle(), "正在读取…") << row.name;
            EXPECT_EQ(page.view->currentStateWidget(), page.view->loadingView()) << row.name;
        }
        ASSERT_TRUE(page.settle()) << row.name;
        EXPECT_EQ(page.view->subtitle(), row.subtitle) << row.name;
        EXPECT_EQ(page.view->subtitleLabel()->text(), row.subtitle) << row.name;
        switch (row.shows) {
        case Row::unavailable:
            EXPECT_EQ(page.view->currentStateWidget(), (QWidget*)page.view->unavailableView()) << row.name;
            EXPECT_EQ(page.view->unavailableView()->title(), "图库不可用");
            EXPECT_EQ(page.view->unavailableView()->description(), "找不到「家庭相册」的文件夹，移动硬盘可能没有连接。");
            break;
        case Row::map:
        case Row::emptyMap:
            EXPECT_EQ(page.view->currentStateWidget(), page.view->map()->parentWidget()) << row.name;
            EXPECT_EQ(page.view->emptyView()->isVisible(), row.shows == Row::emptyMap) << row.name;
            EXPECT_EQ(page.view->emptyView()->title(), "没有位置信息");
            EXPECT_EQ(page.view->emptyView()->description(), "这个图库里还没有带 GPS 的照片或视频。");
            break;
        }
        EXPECT_EQ(page.view->clusters().isEmpty(), row.shows != Row::map) << row.name;
    }
}

// Pins: a single pin opens the viewer at its index among all items; a group at one spot opens it
// at its newest item; a group that zooming can separate zooms; the viewer's header; closing keeps
// the camera; the clusters follow the map's real size; a rename does not rescan.
TEST(LibraryMapView, PinsOpenTheViewerOrZoom)
{
    const MediaItems items = {
        item("plain0.jpg"),
        item("shanghai.jpg", 31.23, 121.47, 2020),
        item("plain1.jpg"),
        item("hangzhou1.jpg", 30.27, 120.15, 2021),
        item("hangzhou2.jpg", 30.28, 120.16, 2022),
        item("beijing-old.jpg", 39.9, 116.4, 2019),
        item("beijing-new.jpg", 39.9, 116.4, 2023),
        item("sydney.jpg", -33.87, 151.21),
    };
    MapPage page(items);
    page.view->show();
    ASSERT_TRUE(page.settle());
    LibraryMapView& view = *page.view;
    // Clustered again at the map's own size, not the assumed 800 × 600.
    EXPECT_EQ(view.mapSize(), QSizeF(view.map()->size()));
    EXPECT_NE(view.mapSize(), QSizeF(800, 600));
    EXPECT_EQ(view.clusters(),
              MapPhotoClusterer::cluster(view.locatedItems(), view.currentRegion(), view.map()->size(), 72));

    const MapPhotoCluster* sydney = clusterHolding(view, "sydney.jpg");
    ASSERT_TRUE(sydney);
    ASSERT_EQ(sydney->items.size(), 1);
    const CoordinateRegion regionBefore = view.map()->visibleRegion();
    clickPin(view, *sydney);
    ASSERT_EQ(view.zoomedIndex(), 7) << "the index among all items, not the located ones";
    ASSERT_TRUE(view.viewer());
    EXPECT_EQ(view.viewer()->items(), items);
    EXPECT_EQ(view.viewer()->currentIndex(), 7);
    EXPECT_TRUE(view.backButton()->isVisible());
    EXPECT_EQ(view.backButton()->text(), "地图");
    EXPECT_EQ(view.subtitle(), "");
    EXPECT_FALSE(view.stylePicker()->isVisible());
    // The same toolbar items as over the grid: reveal, the item's map, rotation, the info icon.
    const ViewerToolbarHost* bar = view.viewer()->toolbar();
    ASSERT_TRUE(bar);
    ASSERT_EQ(bar->trailingCount(), 4);
    for (int i = 0; i < 4; ++i)
        EXPECT_FALSE(bar->trailingWidget(i)->isHidden()) << i;
    const auto* buttons = view.viewer()->findChild<ViewerToolbarItems*>();
    ASSERT_TRUE(buttons);
    EXPECT_EQ(bar->trailingWidget(2), buttons->rotateButton());

    view.backButton()->click();
    EXPECT_EQ(view.zoomedIndex(), std::nullopt);
    EXPECT_EQ(view.currentStateWidget(), view.map()->parentWidget());
    EXPECT_TRUE(view.stylePicker()->isVisible());
    EXPECT_EQ(view.map()->visibleRegion(), regionBefore) << "the map comes back as it was";

    // Beijing's two items share one spot: zooming cannot separate them.
    const MapPhotoCluster* beijing = clusterHolding(view, "beijing-old.jpg");
    ASSERT_TRUE(beijing);
    ASSERT_EQ(beijing->items.size(), 2);
    EXPECT_EQ(MapPin::badgeText(beijing->items.size()), "2");
    clickPin(view, *beijing);
    EXPECT_EQ(view.zoomedIndex(), 6) << "its newest item";
    view.closeViewer();

    // Shanghai and Hangzhou share a cell at this zoom but not on the ground: the map zooms in.
    const MapPhotoCluster* east = clusterHolding(view, "hangzhou1.jpg");
    ASSERT_TRUE(east);
    ASSERT_GE(east->items.size(), 2);
    const double zoom = view.map()->camera().zoom();
    clickPin(view, *east);
    EXPECT_EQ(view.zoomedIndex(), std::nullopt);
    ASSERT_TRUE(waitFor([&] {
        return view.map()->camera().zoom() > zoom + 1 && !view.isClustering() && !clusterHolding(view, "sydney.jpg");
    }));
    ASSERT_TRUE(clusterHolding(view, "hangzhou1.jpg"));

    // A rewritten orientation reloads the pin showing that file, and nothing for any other file.
    const MapPhotoCluster* pin = clusterHolding(view, "hangzhou2.jpg");
    ASSERT_TRUE(pin);
    const QString shownPath = pin->items.front().url;
    ASSERT_TRUE(waitFor([&] { return !view.pinThumbnail(shownPath).isNull(); }));
    const quint64 requests = page.services.thumbnails.requestsIssued();
    page.services.thumbnails.invalidate("/lib/plain0.jpg");
    EXPECT_EQ(page.services.thumbnails.requestsIssued(), requests);
    page.services.thumbnails.invalidate(shownPath);
    EXPECT_EQ(page.services.thumbnails.requestsIssued(), requests + 1);

    // A rename keeps the items; another library is scanned anew.
    const int scans = page.scanner->scans;
    PhotoLibrary renamed = page.library;
    renamed.name = "新名字";
    view.setLibrary(renamed);
    EXPECT_EQ(page.scanner->scans, scans);
    EXPECT_TRUE(view.subtitle().endsWith("新名字"));
    view.setLibrary(page.shell.addLibrary("另一个"));
    ASSERT_TRUE(page.settle());
    EXPECT_EQ(page.scanner->scans, scans + 1);
}

// The map follows its drive without the user leaving it: unplugged, the pins and an open viewer of
// its files go and the page says why; plugged in again, the pins come back. A pin is titled with
// its file name, shown as plain text.
TEST(LibraryMapView, FollowsItsDriveAwayAndBack)
{
    const MediaItems items = {item("<img src=x>&amp;shanghai.jpg", 31.23, 121.47), item("sydney.jpg", -33.87, 151.21)};
    MapPage page(items);
    page.view->show();
    ASSERT_TRUE(page.settle());
    LibraryMapView& view = *page.view;

    const MapPhotoCluster* shanghai = clusterHolding(view, "<img src=x>&amp;shanghai.jpg");
    ASSERT_TRUE(shanghai);
    EXPECT_EQ(LibraryMapView::pinTitle(*shanghai), "<img src=x>&amp;shanghai.jpg");
    const QPoint at = view.map()->camera().viewportPoint(shanghai->coordinate).toPoint();
    QHelpEvent hover(QEvent::ToolTip, at, view.map()->mapToGlobal(at));
    QCoreApplication::sendEvent(view.map(), &hover);
    QTextDocument tip;
    tip.setHtml(QToolTip::text());
    EXPECT_EQ(tip.toPlainText(), "<img src=x>&amp;shanghai.jpg");
    QToolTip::hideText();

    clickPin(view, *clusterHolding(view, "sydney.jpg"));
    ASSERT_TRUE(view.viewer());
    page.shell.unplug(page.library);
    ASSERT_TRUE(waitFor([&] { return view.currentStateWidget() == (QWidget*)view.unavailableView(); }));
    EXPECT_EQ(view.unavailableView()->title(), "图库不可用");
    EXPECT_TRUE(view.clusters().isEmpty());
    EXPECT_FALSE(view.viewer());
    EXPECT_EQ(view.zoomedIndex(), std::nullopt);

    ASSERT_TRUE(QDir().mkpath(page.library.displayPath));
    page.shell.fakes.volumes.fire();
    ASSERT_TRUE(waitFor([&] { return view.clusters().size() == 2 && !view.isLoading(); }));
    EXPECT_EQ(view.currentStateWidget(), view.map()->parentWidget());
}

// Two items a few centimetres apart: the frame around them is the smallest region there is, no
// closer than the view already shows, so a tap opens the viewer at the newer one instead of
// zooming to the same place again and again.
TEST(LibraryMapView, GroupThatZoomingCannotSeparateOpensTheViewer)
{
    const MediaItems items = {item("plain.jpg"), item("older.jpg", 31.2300000, 121.4700000, 2020),
                              item("newer.jpg", 31.2300003, 121.4700003, 2022)};
    MapPage page(items);
    page.view->show();
    ASSERT_TRUE(page.settle());
    LibraryMapView& view = *page.view;
    ASSERT_EQ(view.clusters().size(), 1);
    ASSERT_EQ(view.clusters().front().items.size(), 2);
    const double zoom = view.map()->camera().zoom();
    clickPin(view, view.clusters().front());
    EXPECT_EQ(view.zoomedIndex(), 2);
    EXPECT_EQ(view.map()->camera().zoom(), zoom);
}

// A pin's title is drawn under it unless it would cover a title drawn before it or another pin's
// picture: on a crowded map the names give way.
TEST(LibraryMapView, PinTitlesGiveWayToTitlesAndOtherPins)
{
    const double size = LibraryMapView::pinSize;
    const QImage picture = MapPin::titlePicture("IMG_0010.jpg", QFont(), 1);
    const QPointF at(200, 150);
    const QRectF title = MapPin::titleRect(at, size, picture);
    const struct {
        const char* name;
        QList<QPointF> otherPins;
        QList<QPointF> titlesBefore; // pins whose titles are drawn first
        bool shown;
    } rows[] = {
        {"alone", {}, {}, true},
        {"another pin well clear", {{at.x() + 120, at.y()}}, {}, true},
        {"another pin's picture beside the title", {{title.right() + size / 2 - 10, title.center().y()}}, {}, false},
        {"another pin's picture under the title", {{at.x(), title.bottom() + size / 2 - 4}}, {}, false},
        {"another title drawn first", {}, {{at.x() + 30, at.y()}}, false},
    };
    for (const auto& row : rows) {
        QImage canvas(400, 400, QImage::Format_ARGB32_Premultiplied);
        canvas.fill(Qt::transparent);
        QList<QRectF> titles, pins{MapPin::rect(at, size)};
        for (const QPointF& p : row.titlesBefore)
            titles.append(MapPin::titleRect(p, size, picture));
        titles.append(title);
        for (const QPointF& p : row.otherPins + row.titlesBefore)
            pins.append(MapPin::rect(p, size));
        QPainter painter(&canvas);
        MapPin::paintTitles(painter, titles, QList<QImage>(titles.size(), picture), pins);
        painter.end();
        // Only this title can have drawn where no other title lies.
        QRegion own(title.toAlignedRect());
        for (qsizetype i = 0; i + 1 < titles.size(); ++i)
            own -= titles[i].toAlignedRect();
        int inked = 0;
        for (const QRect& r : own)
            for (int y = r.top(); y <= r.bottom(); ++y)
                for (int x = r.left(); x <= r.right(); ++x)
                    inked += qAlpha(canvas.pixel(x, y)) > 0 ? 1 : 0;
        EXPECT_EQ(inked > 0, row.shown) << row.name;
    }

    // The same on the real page: a pin's title that would run over the picture of the pin beside
    // and below it is left out there.
    const MediaItems frame{item("north-west.jpg", 40, 100), item("south-east.jpg", 20, 120)};
    const QString name = "IMG_20240301_090000_harbour.jpg";
    const MediaItem named = item(name, 30, 110);
    QList<Coordinate> besides;
    {
        MapPage first(frame + MediaItems{named});
        first.view->show();
        ASSERT_TRUE(first.settle());
        const MapCamera& camera = first.view->map()->camera();
        const QPointF namedAt = camera.viewportPoint(Coordinate{30, 110});
        // Within one clustering cell (72 points) to one side or the other lies the next cell,
        // where the neighbour is a pin of its own: the nearest such place overlaps the most.
        for (int dx = 30; dx <= 72; dx += 6)
            for (int side : {1, -1})
                besides.append(camera.coordinateAt(namedAt + QPointF(side * dx, 45)));
    }
    std::unique_ptr<MapPage> page;
    const MapPhotoCluster* titled = nullptr;
    const MapPhotoCluster* neighbour = nullptr;
    for (const Coordinate& beside : besides) {
        page = std::make_unique<MapPage>(frame + MediaItems{named, item("beside.jpg", beside.latitude, beside.longitude)});
        page->view->show();
        ASSERT_TRUE(page->settle());
        titled = clusterHolding(*page->view, name);
        neighbour = clusterHolding(*page->view, "beside.jpg");
        if (titled && neighbour && titled != neighbour)
            break;
        titled = neighbour = nullptr;
    }
    ASSERT_TRUE(titled && neighbour);
    LibraryMapView& view = *page->view;
    ASSERT_TRUE(waitFor([&] {
        for (const MapPhotoCluster& cluster : view.clusters())
            if (view.pinThumbnail(cluster.items.front().url).isNull())
                return false;
        return true;
    }));
    const QImage shot = view.map()->grab().toImage();
    const MapCamera& camera = view.map()->camera();
    const QPointF titledAt = camera.viewportPoint(titled->coordinate);
    const QRectF wouldBe = MapPin::titleRect(
        titledAt, size, MapPin::titlePicture(LibraryMapView::pinTitle(*titled), view.font(), shot.devicePixelRatio()));
    // Inside the neighbour's picture, clear of its border and of the titled pin's own shadow.
    QRectF inside = MapPin::rect(camera.viewportPoint(neighbour->coordinate), size).adjusted(4, 4, -4, -4);
    inside.setTop(std::max(inside.top(), titledAt.y() + size / 2 + MapPin::pictureMargin));
    const QRect overlap = wouldBe.intersected(inside).toRect().adjusted(1, 1, -1, -1);
    ASSERT_GT(overlap.width() * overlap.height(), 100);
    const QImage& thumbnail = view.pinThumbnail(neighbour->items.front().url);
    const QColor colour = thumbnail.pixelColor(thumbnail.rect().center());
    int inked = 0;
    for (int y = overlap.top(); y <= overlap.bottom(); ++y)
        for (int x = overlap.left(); x <= overlap.right(); ++x)
            inked += shot.pixelColor(x, y) != colour ? 1 : 0;
    EXPECT_EQ(inked, 0);
}

// A library map with clusters, a badge and single pins over loopback tiles. Saved as PNG when
// TESS_SCREENSHOT_DIR names a folder.
TEST(LibraryMapView, Screenshot)
{
    MediaItems items;
    for (int i = 0; i < 150; ++i)
        items.append(item(QString("west-lake-%1.jpg").arg(i), 30.25, 120.14, 2000 + i % 24));
    const struct { const char* name; double latitude; double longitude; } places[] = {
        {"beijing", 39.9, 116.4}, {"xian", 34.27, 108.95}, {"chengdu", 30.66, 104.07}, {"kunming", 25.04, 102.71},
        {"guangzhou", 23.13, 113.26}, {"harbin", 45.8, 126.53}, {"lhasa", 29.65, 91.17}, {"urumqi", 43.83, 87.62},
        {"qingdao", 36.07, 120.38}, {"xiamen", 24.48, 118.09}};
    for (const auto& place : places) {
        items.append(item(QString(place.name) + ".jpg", place.latitude, place.longitude));
        items.append(item(QString(place.name) + "-2.jpg", place.latitude + 0.05, place.longitude + 0.05));
    }
    items.append(item("alone.jpg", 22.54, 114.06));
    MapPage page(items);
    page.view->show();
    ASSERT_TRUE(page.settle());
    LibraryMapView& view = *page.view;
    ASSERT_TRUE(waitFor([&] {
        for (const MapPhotoCluster& cluster : view.clusters())
            if (view.pinThumbnail(cluster.items.front().url).isNull())
                return false;
        return view.map()->loader()->inFlight() == 0;
    }));
    const MapPhotoCluster* lake = clusterHolding(view, "west-lake-0.jpg");
    ASSERT_TRUE(lake);
    EXPECT_EQ(MapPin::badgeText(lake->items.size()), "99+");
    EXPECT_EQ(MapPin::badgeText(1), "");

    const QImage shot = view.grab().toImage();
    const QPoint at = view.map()->mapTo(&view, view.map()->camera().viewportPoint(lake->coordinate).toPoint());
    const QImage& thumbnail = view.pinThumbnail(lake->items.front().url);
    EXPECT_EQ(shot.pixelColor(at), thumbnail.pixelColor(thumbnail.rect().center()));
    // A pin far from the others shows its title under it, not only as a tooltip.
    const MapPhotoCluster* urumqi = clusterHolding(view, "urumqi.jpg");
    ASSERT_TRUE(urumqi);
    const QPoint far = view.map()->mapTo(&view, view.map()->camera().viewportPoint(urumqi->coordinate).toPoint());
    int letters = 0;
    for (int y = far.y() + 34; y < far.y() + 52; ++y)
        for (int x = far.x() - 60; x <= far.x() + 60; ++x)
            letters += shot.pixelColor(x, y).lightness() < 80 ? 1 : 0;
    EXPECT_GT(letters, 30);
    const QString folder = qEnvironmentVariable("TESS_SCREENSHOT_DIR");
    if (!folder.isEmpty()) {
        EXPECT_TRUE(shot.save(folder + "/library-map.png"));
    }
}
