#include "app/views/map/MediaLocationMapView.h"

#include "app/views/library/LibraryDetailView.h"

#include "support/app/MapTestSupport.h"

#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QLabel>
#include <QTest>
#include <QTextDocument>
#include <QToolButton>

using namespace app;
using app::testing::MapServicesHarness;

namespace {

MediaItem located(std::optional<double> latitude, std::optional<double> longitude)
{
    MediaItem item;
    item.url = "/photos/IMG_0001.JPG";
    item.captureDate = QDateTime::currentDateTimeUtc();
    item.latitude = latitude;
    item.longitude = longitude;
    return item;
}

struct Sheet {
    explicit Sheet(const MediaItem& item, std::optional<QString> place = QString("中国 · 上海市")) : services(place)
    {
        view = std::make_unique<MediaLocationMapView>(
            item, MediaLocationMapView::Services{&services.thumbnails, services.placeNames.get(), services.mapEnvironment()});
        view->show();
    }
    MapServicesHarness services;
    std::unique_ptr<MediaLocationMapView> view;
};

} // namespace

// What the title bar and body show for located, half-located and unnamed items.
TEST(MediaLocationMapView, TextsAndStates)
{
    struct Row {
        const char* name;
        MediaItem item;
        std::optional<QString> place;
        QString coordinateText; // empty: the line is hidden
        QString placeTitle;
        bool showsMap;
    };
    const Row rows[] = {
        {"located", located(31.2304, 121.4737), "中国 · 上海市", "31.230400, 121.473700", "中国 · 上海市", true},
        {"no place name", located(-33.8688, 151.2093), std::nullopt, "-33.868800, 151.209300", "未知地点", true},
        {"markup in a name", located(31.2304, 121.4737), "<b>上海</b><img src=x>", "31.230400, 121.473700",
         "<b>上海</b><img src=x>", true},
        {"latitude alone", located(31.2304, std::nullopt), "中国", "", "无位置信息", false},
        {"longitude alone", located(std::nullopt, 121.4737), "中国", "", "无位置信息", false},
    };
    for (const Row& row : rows) {
        Sheet sheet(row.item, row.place);
        MediaLocationMapView& view = *sheet.view;
        EXPECT_EQ(view.minimumSize(), QSize(760, 520)) << row.name;
        EXPECT_EQ(view.size(), QSize(900, 640)) << row.name;
        EXPECT_EQ(view.windowModality(), Qt::WindowModal) << row.name;
        EXPECT_EQ(view.isCoordinateShown(), !row.coordinateText.isEmpty()) << row.name;
        if (!row.coordinateText.isEmpty()) {
            EXPECT_EQ(view.coordinateText(), row.coordinateText) << row.name;
        }
        EXPECT_EQ(view.placeTitle(), row.placeTitle) << row.name;
        EXPECT_EQ(view.currentBody() == view.map(), row.showsMap) << row.name;
        // Shown as the text it is, in the line and in its tooltip, wherever Qt would guess markup.
        EXPECT_EQ(view.placeLabel()->textFormat(), Qt::PlainText) << row.name;
        EXPECT_EQ(view.placeLabel()->text(), row.placeTitle) << row.name;
        if (row.showsMap) {
            const QString tip = view.placeLabel()->toolTip();
            QTextDocument shown;
            if (Qt::mightBeRichText(tip))
                shown.setHtml(tip);
            else
                shown.setPlainText(tip);
            EXPECT_EQ(shown.toPlainText(), row.placeTitle) << row.name;
        }
        if (!row.showsMap) {
            EXPECT_EQ(view.unavailableView()->title(), "没有位置信息") << row.name;
            EXPECT_EQ(view.unavailableView()->description(), "当前照片或视频没有 GPS 坐标，无法在地图上定位。");
        }
    }
}

// Zoom buttons scale the spans by 1.8 around the item, stop at 80° and 0.0008°, keep the
// proportions, and bring a dragged map back to the item; the style picker leaves the camera;
// Escape closes the sheet.
TEST(MediaLocationMapView, ZoomStylesAndClose)
{
    Sheet sheet(located(31.2304, 121.4737));
    MediaLocationMapView& view = *sheet.view;
    ASSERT_TRUE(QTest::qWaitFor([&] { return !view.thumbnail().isNull(); }, 5000));

    const CoordinateRegion start = view.currentRegion();
    const double ratio = start.longitudeDelta / start.latitudeDelta;
    EXPECT_NEAR(start.latitudeDelta, 0.04, 0.04 * 0.02);
    const double zoom = view.map()->camera().zoom();
    view.zoomInButton()->click();
    EXPECT_NEAR(view.currentRegion().latitudeDelta, start.latitudeDelta / 1.8, 1e-12);
    const auto zoomIs = [&](double want) { return std::abs(view.map()->camera().zoom() - want) < 0.01; };
    ASSERT_TRUE(QTest::qWaitFor([&] { return zoomIs(zoom + std::log2(1.8)); }, 3000));

    for (int i = 0; i < 30; ++i)
        view.zoom(1.8);
    EXPECT_DOUBLE_EQ(view.currentRegion().latitudeDelta, 80);
    EXPECT_NEAR(view.currentRegion().longitudeDelta / view.currentRegion().latitudeDelta, ratio, ratio * 0.02);
    for (int i = 0; i < 60; ++i)
        view.zoom(1 / 1.8);
    EXPECT_DOUBLE_EQ(view.currentRegion().latitudeDelta, 0.0008);
    EXPECT_NEAR(view.currentRegion().longitudeDelta / view.currentRegion().latitudeDelta, ratio, ratio * 0.02);
    // The map goes that close, past its deepest tiles.
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return std::abs(view.map()->visibleRegion().latitudeDelta - 0.0008) < 0.0001; }, 3000));

    // Drag away, then zoom: the item is the centre again.
    ASSERT_TRUE(QTest::qWaitFor([&] { return std::abs(view.map()->camera().center().longitude - 121.4737) < 1e-9; }, 3000));
    QTest::mousePress(view.map(), Qt::LeftButton, {}, QPoint(400, 300));
    for (int step = 1; step <= 4; ++step)
        QTest::mouseMove(view.map(), QPoint(400 + 40 * step, 300 + 10 * step));
    QTest::mouseRelease(view.map(), Qt::LeftButton, {}, QPoint(560, 340));
    EXPECT_GT(std::abs(view.currentRegion().center.longitude - 121.4737), 1e-6);
    view.zoomOutButton()->click();
    EXPECT_DOUBLE_EQ(view.currentRegion().center.longitude, 121.4737);
    EXPECT_DOUBLE_EQ(view.currentRegion().center.latitude, 31.2304);

    ASSERT_TRUE(QTest::qWaitFor([&] { return std::abs(view.map()->camera().center().longitude - 121.4737) < 1e-9; }, 3000));
    const MapCamera before = view.map()->camera();
    view.stylePicker()->button(MapStyle::hybrid)->click();
    EXPECT_EQ(view.map()->style(), MapStyle::hybrid);
    EXPECT_EQ(view.stylePicker()->style(), MapStyle::hybrid);
    EXPECT_EQ(view.map()->camera().zoom(), before.zoom());
    EXPECT_EQ(view.map()->camera().center(), before.center());

    QSignalSpy finished(&view, &QDialog::finished);
    QTest::keyClick(&view, Qt::Key_Escape);
    EXPECT_EQ(finished.size(), 1);
    EXPECT_FALSE(view.isVisible());
}

// The sheet over loopback tiles: the pin sits on the item's point, tiles paint around it.
// Saved as PNG when TESS_SCREENSHOT_DIR names a folder.
TEST(MediaLocationMapView, Screenshot)
{
    Sheet sheet(located(31.2304, 121.4737));
    MediaLocationMapView& view = *sheet.view;
    ASSERT_TRUE(QTest::qWaitFor([&] { return !view.thumbnail().isNull(); }, 5000));
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return view.map()->loader()->inFlight() == 0 && !sheet.services.tiles.server.requests().isEmpty(); }, 10000));
    const QImage shot = view.grab().toImage();
    const QPoint pin = view.map()->mapTo(&view, view.map()->camera().viewportPoint({31.2304, 121.4737}).toPoint());
    // The thumbnail fills the pin's middle; a tile's colour lies 100 px to its right.
    EXPECT_EQ(shot.pixelColor(pin), view.thumbnail().pixelColor(view.thumbnail().rect().center()));
    const QColor beside = shot.pixelColor(pin + QPoint(100, 0));
    EXPECT_GE(beside.red(), 128);
    EXPECT_GE(beside.green(), 128);
    EXPECT_GE(beside.blue(), 128);
    // The pin's title, the file name, stands under it in dark letters on the light tiles.
    EXPECT_EQ(view.pinTitle(), "IMG_0001.JPG");
    int letters = 0;
    for (int y = pin.y() + 34; y < pin.y() + 52; ++y)
        for (int x = pin.x() - 60; x <= pin.x() + 60; ++x)
            letters += shot.pixelColor(x, y).lightness() < 80 ? 1 : 0;
    EXPECT_GT(letters, 30);
    const QString folder = qEnvironmentVariable("TESS_SCREENSHOT_DIR");
    if (!folder.isEmpty()) {
        EXPECT_TRUE(shot.save(folder + "/item-map-sheet.png"));
    }
}
