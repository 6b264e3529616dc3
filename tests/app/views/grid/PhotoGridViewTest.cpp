#include "app/views/grid/PhotoGridView.h"
#include "app/views/grid/TimelineRail.h"
#include "app/views/common/TrackpadMonitors.h"

#include "support/app/Wait.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QMouseEvent>
#include <QMutex>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <QWaitCondition>

#include <memory>

using namespace app;
using app::test::waitFor;

namespace {

// Paints each item in a colour of its own; can hold decodes back to keep requests in flight.
class ColourDecoder final : public ImageDecoder {
public:
    explicit ColourDecoder(bool holding = false) : holding_(holding) {}
    QImage decode(const MediaItem& item, int maxPixelSize) override
    {
        {
            QMutexLocker lock(&mutex_);
            while (holding_)
                released_.wait(&mutex_);
        }
        QImage image(maxPixelSize, maxPixelSize * 3 / 4, QImage::Format_RGB32);
        const uint h = qHash(item.url);
        image.fill(QColor::fromHsv(int(h % 360), 160, 220));
        return image;
    }
    void release()
    {
        QMutexLocker lock(&mutex_);
        holding_ = false;
        released_.wakeAll();
    }

private:
    QMutex mutex_;
    QWaitCondition released_;
    bool holding_;
};

MediaItems makeItems(int count, int perDay = 7)
{
    MediaItems items;
    items.reserve(count);
    const QDateTime newest(QDate(2024, 5, 31), QTime(12, 0), QTimeZone::utc());
    for (int i = 0; i < count; ++i) {
        MediaItem item;
        item.url = QString("/library/IMG_%1.JPG").arg(i, 6, 10, QChar('0'));
        item.captureDate = newest.addDays(-(i / perDay) * 9).addSecs(-i);
        if (i % 5 == 3) {
            item.kind = MediaKind::video;
            item.url.replace(".JPG", ".MOV");
            item.duration = 59.5 + i;
        } else if (i % 7 == 2) {
            item.isLivePhoto = true;
            item.liveVideoURL = item.url + ".MOV";
        }
        items.append(item);
    }
    return items;
}

struct GridHarness {
    ColourDecoder* decoder;
    std::unique_ptr<ThumbnailProvider> provider;
    std::unique_ptr<PhotoGridView> grid;

    explicit GridHarness(bool holding = false)
        : decoder(new ColourDecoder(holding)),
          provider(std::make_unique<ThumbnailProvider>(std::unique_ptr<ImageDecoder>(decoder)))
    {
        grid = std::make_unique<PhotoGridView>(provider.get());
        grid->setTimeZone(QTimeZone::utc());
        grid->resize(900, 600);
    }
    ~GridHarness()
    {
        grid.reset();
        decoder->release();
        provider->waitForIdle();
        QApplication::processEvents();
    }
};

void saveScreenshot(QWidget& widget, const QString& name)
{
    const QString dir = qEnvironmentVariable("TESS_SCREENSHOT_DIR");
    if (dir.isEmpty())
        return;
    QDir().mkpath(dir);
    widget.grab().save(dir + "/" + name + ".png");
}

} // namespace

TEST(PhotoGridView, requestsOnlyRowsOnScreenPlusOneAndCancelsRowsThatLeave)
{
    GridHarness h(true);
    h.grid->setItems(makeItems(20000));
    h.grid->show();
    QApplication::processEvents();

    const auto& engine = h.grid->layoutEngine();
    const int columns = 11;
    const int viewportHeight = h.grid->viewport()->height();
    const int visibleRows = int(viewportHeight / (engine.cellSide() + 2)) + 2;
    const quint64 limit = quint64((visibleRows + 2) * columns);
    EXPECT_GT(h.grid->requestsMade(), 0u);
    EXPECT_LE(h.grid->requestsMade(), limit);
    const quint64 firstScreen = h.grid->requestsMade();

    // Jump to the middle: every request of the first screen is given up.
    h.grid->verticalScrollBar()->setValue(h.grid->verticalScrollBar()->maximum() / 2);
    QApplication::processEvents();
    EXPECT_EQ(h.grid->requestsCancelled(), firstScreen);
    EXPECT_LE(h.grid->requestsMade(), 2 * limit);
    const auto range = engine.visibleItems(h.grid->verticalScrollBar()->value(),
                                           h.grid->verticalScrollBar()->value() + viewportHeight, 1);
    for (const QString& path : h.grid->loadingPaths()) {
        const int index = path.section('_', 1).section('.', 0, 0).toInt();
        EXPECT_TRUE(range.contains(index)) << path.toStdString();
    }
    EXPECT_LE(h.grid->cellStateCount(), qsizetype(limit));
}

TEST(PhotoGridView, clicksSelectDoubleClicksOpenAndFocusScrolls)
{
    GridHarness h;
    const MediaItems items = makeItems(400);
    h.grid->setItems(items);
    h.grid->show();
    QApplication::processEvents();

    QSignalSpy opened(h.grid.get(), &PhotoGridView::openItem);
    const QPoint second = h.grid->viewportRectOfItem(1).center();
    QTest::mouseClick(h.grid->viewport(), Qt::LeftButton, {}, second);
    EXPECT_EQ(h.grid->selection(), items[1].url);
    EXPECT_EQ(opened.count(), 0);
    QTest::mouseDClick(h.grid->viewport(), Qt::LeftButton, {}, h.grid->viewportRectOfItem(2).center());
    EXPECT_EQ(h.grid->selection(), items[2].url);
    ASSERT_EQ(opened.count(), 1);
    EXPECT_EQ(opened.at(0).at(0).value<MediaItem>(), items[2]);
    // A click in a gap changes nothing.
    const QRect r = h.grid->viewportRectOfItem(1);
    QTest::mouseClick(h.grid->viewport(), Qt::LeftButton, {}, QPoint(r.right() + 2, r.center().y()));
    EXPECT_EQ(h.grid->selection(), items[2].url);

    // Focus on an unknown path changes nothing; a known one selects and scrolls it to the centre.
    h.grid->setFocusedItemID(QString("/elsewhere.jpg"));
    EXPECT_EQ(h.grid->selection(), items[2].url);
    h.grid->setFocusedItemID(items[300].url);
    EXPECT_EQ(h.grid->selection(), items[300].url);
    ASSERT_TRUE(waitFor([&] { return h.grid->viewportRectOfItem(300).intersects(h.grid->viewport()->rect()); }));
    ASSERT_TRUE(waitFor([&] {
        return std::abs(h.grid->viewportRectOfItem(300).center().y() - h.grid->viewport()->height() / 2) < 40;
    }));
    EXPECT_LT(std::abs(h.grid->viewportRectOfItem(300).center().y() - h.grid->viewport()->height() / 2), 40);
}

TEST(PhotoGridView, zoomStepsByPinchWheelAndKeysOnlyWhileActive)
{
    GridHarness h;
    h.grid->setItems(makeItems(100));
    h.grid->show();
    QApplication::processEvents();
    EXPECT_TRUE(h.grid->isMagnifyMonitorRunning());

    h.grid->handleMagnifyEvent(GesturePhase::changed, 0.2);
    EXPECT_EQ(h.grid->zoomLevel(), GridZoomLevel::columns8);
    // The step eases the cells to their new places, then ends.
    EXPECT_TRUE(h.grid->isAnimatingZoom());
    QTest::qWait(90);
    saveScreenshot(*h.grid, "grid-zoom-mid-animation");
    ASSERT_TRUE(waitFor([&] { return !h.grid->isAnimatingZoom(); }, 2000));
    EXPECT_FALSE(h.grid->isAnimatingZoom());
    QWheelEvent wheel(QPointF(50, 50), h.grid->viewport()->mapToGlobal(QPointF(50, 50)), QPoint(), QPoint(0, 120),
                      Qt::NoButton, Qt::ControlModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(h.grid->viewport(), &wheel);
    EXPECT_EQ(h.grid->zoomLevel(), GridZoomLevel::columns6);
    QTest::keyClick(h.grid.get(), Qt::Key_Minus, Qt::ControlModifier);
    EXPECT_EQ(h.grid->zoomLevel(), GridZoomLevel::columns8);

    h.grid->setActive(false);
    EXPECT_FALSE(h.grid->isMagnifyMonitorRunning());
    h.grid->handleMagnifyEvent(GesturePhase::changed, 0.5);
    QApplication::sendEvent(h.grid->viewport(), &wheel);
    EXPECT_EQ(h.grid->zoomLevel(), GridZoomLevel::columns8);
    h.grid->hide();
    h.grid->setActive(true);
    EXPECT_FALSE(h.grid->isMagnifyMonitorRunning());
}

TEST(PhotoGridView, rotatedFileReloadsOnlyItsCell)
{
    GridHarness h;
    const MediaItems items = makeItems(30);
    h.grid->setItems(items);
    h.grid->show();
    ASSERT_TRUE(waitFor([&] { return h.grid->loadingPaths().isEmpty(); }));
    const quint64 before = h.grid->requestsMade();
    h.provider->invalidate(items[4].url);
    EXPECT_EQ(h.grid->requestsMade(), before + 1);
    EXPECT_EQ(h.grid->loadingPaths(), QList<QString>{items[4].url});
    h.provider->invalidate("/not/shown.jpg");
    EXPECT_EQ(h.grid->requestsMade(), before + 1);

    // The turned picture comes back without moving the grid, day headings on and scrolled.
    h.grid->setItems(makeItems(300, 5));
    h.grid->setTimelineEnabled(true);
    h.grid->verticalScrollBar()->setValue(250);
    ASSERT_TRUE(waitFor([&] { return h.grid->loadingPaths().isEmpty(); }));
    const int shown = h.grid->layoutEngine().visibleItems(250, 250 + h.grid->viewport()->height()).first + 2;
    h.provider->invalidate(h.grid->items()[shown].url);
    ASSERT_EQ(h.grid->loadingPaths().size(), 1);
    ASSERT_TRUE(waitFor([&] { return h.grid->loadingPaths().isEmpty(); }));
    QApplication::processEvents();
    EXPECT_EQ(h.grid->verticalScrollBar()->value(), 250);

    // Photos coming back above the rows on screen (sorting, a rescan) leave those rows where they
    // are; photos coming back at the top of a grid at its top show there.
    const MediaItems all = makeItems(300, 5);
    const auto cellTop = [&](const QString& url) {
        const int i = int(std::find_if(h.grid->items().cbegin(), h.grid->items().cend(),
                                       [&](const MediaItem& item) { return item.url == url; })
                          - h.grid->items().cbegin());
        return h.grid->layoutEngine().cellRect(i).top() - h.grid->verticalScrollBar()->value();
    };
    for (const int scroll : {0, 1000}) {
        SCOPED_TRACE(scroll);
        h.grid->setItems(all.mid(12));
        h.grid->verticalScrollBar()->setValue(scroll);
        const QString first = h.grid->items()[h.grid->layoutEngine().visibleItems(scroll, scroll + 1).first].url;
        const double before = cellTop(first);
        h.grid->setItems(all);
        if (scroll)
            EXPECT_NEAR(cellTop(first), before, 0.5);
        else
            EXPECT_EQ(h.grid->verticalScrollBar()->value(), 0);
    }
}

TEST(PhotoGridView, screenshotsAtEachZoomLevelAndWithTheTimeline)
{
    GridHarness h;
    h.grid->resize(1000, 640);
    const MediaItems items = makeItems(600, 9);
    h.grid->setItems(items);
    h.grid->setFocusedItemID(items[13].url);
    h.grid->show();
    QApplication::processEvents();
    for (GridZoomLevel level : {GridZoomLevel::columns11, GridZoomLevel::columns8, GridZoomLevel::columns6,
                                GridZoomLevel::columns3}) {
        h.grid->setZoomLevel(level);
        h.grid->verticalScrollBar()->setValue(0);
        ASSERT_TRUE(waitFor([&] { return h.grid->loadingPaths().isEmpty() && !h.grid->isAnimatingZoom(); }));
        QApplication::processEvents();
        const QImage shot = h.grid->grab().toImage();
        // The first cell shows its thumbnail's colour, not the placeholder.
        const QPoint centre = h.grid->viewport()->mapTo(h.grid.get(), h.grid->viewportRectOfItem(0).center());
        const QColor painted = shot.pixelColor(centre * shot.devicePixelRatio());
        EXPECT_GT(painted.saturation(), 100) << int(level);
        saveScreenshot(*h.grid, QString("grid-zoom-%1").arg(GridZoom::columns(level)));
    }

    h.grid->setZoomLevel(GridZoomLevel::columns8);
    ASSERT_EQ(h.grid->verticalScrollBar()->value(), 0);
    h.grid->setTimelineEnabled(true);
    // Switched on at the top, the grid shows the first day's heading.
    EXPECT_EQ(h.grid->verticalScrollBar()->value(), 0);
    saveScreenshot(*h.grid, "grid-timeline-switched-on");
    TimelineRail* rail = h.grid->timelineRail();
    ASSERT_TRUE(rail->isVisible());
    ASSERT_FALSE(rail->marks().isEmpty());
    ASSERT_TRUE(waitFor([&] { return h.grid->loadingPaths().isEmpty() && !h.grid->isAnimatingZoom(); }));
    saveScreenshot(*h.grid, "grid-timeline");

    // Cells, then the grid's scroll bar, then the divider and the rail at the right edge.
    const auto xRange = [&](QWidget* w) {
        const QPoint left = w->mapTo(h.grid.get(), QPoint(0, 0));
        return std::pair(left.x(), left.x() + w->width());
    };
    const auto [viewLeft, viewRight] = xRange(h.grid->viewport());
    const auto [barLeft, barRight] = xRange(h.grid->verticalScrollBar());
    const auto [railLeft, railRight] = xRange(rail);
    EXPECT_EQ(viewLeft, 0);
    EXPECT_LE(viewRight, barLeft);
    EXPECT_LT(barRight, railLeft);
    EXPECT_EQ(railRight + 10 + 8, h.grid->width());
    h.grid->setTimelineEnabled(false);
    EXPECT_EQ(xRange(h.grid->verticalScrollBar()).second, h.grid->width());
    h.grid->setTimelineEnabled(true);

    // Hover a year mark: its magnified row and tooltip are painted left of the rail.
    int yearMark = -1;
    for (int i = 1; i < rail->marks().size(); ++i)
        if (rail->marks()[i].kind == TimelineMarkKind::year) {
            yearMark = i;
            break;
        }
    ASSERT_GE(yearMark, 0);
    const double y = rail->marks()[yearMark].position * rail->height();
    QMouseEvent move(QEvent::MouseMove, QPointF(60, y), rail->mapToGlobal(QPointF(60, y)), Qt::NoButton,
                     Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(rail, &move);
    rail->settleAnimations();
    ASSERT_EQ(rail->hoveredMark(), yearMark);
    QApplication::processEvents();
    const QImage hovered = h.grid->grab().toImage();
    saveScreenshot(*h.grid, "grid-timeline-hover");
    // The tooltip's dark capsule lies left of the rail, over the grid.
    const QPoint railOrigin = rail->mapTo(h.grid.get(), QPoint(0, 0));
    int darkPixels = 0;
    for (int x = 0; x < railOrigin.x(); ++x) {
        const QColor c = hovered.pixelColor(QPoint(x, railOrigin.y() + int(y)) * hovered.devicePixelRatio());
        if (c.lightness() < 60)
            ++darkPixels;
    }
    EXPECT_GT(darkPixels, 40);

    // Selecting a mark scrolls its day to the top.
    const TimelineMark target = rail->marks().back();
    QSignalSpy selected(rail, &TimelineRail::markSelected);
    QTest::mouseClick(rail, Qt::LeftButton, {}, QPoint(60, rail->height() + 50));
    ASSERT_EQ(selected.count(), 1);
    EXPECT_EQ(selected.at(0).at(0).value<TimelineMark>().id, target.id);
    ASSERT_TRUE(waitFor([&] { return h.grid->verticalScrollBar()->value() == h.grid->verticalScrollBar()->maximum(); }));
    EXPECT_EQ(h.grid->verticalScrollBar()->value(), h.grid->verticalScrollBar()->maximum());
}

TEST(PhotoGridView, durationText)
{
    const std::pair<double, const char*> rows[] = {{59.5, "1:00"}, {0, "0:00"}, {3725, "62:05"}, {61.4, "1:01"}};
    for (auto [seconds, text] : rows)
        EXPECT_EQ(formatDuration(seconds), QString(text)) << seconds;
}
