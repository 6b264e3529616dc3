#include "app/views/grid/GridLayoutEngine.h"
#include "app/views/grid/GridZoomLevel.h"
#include "app/views/common/TrackpadMonitors.h"

#include <gtest/gtest.h>

using namespace app;

TEST(GridLayoutEngine, cellsSectionTopsAndHits)
{
    GridLayoutEngine::Parameters p;
    p.spacing = 2;
    p.headerHeight = 28;

    struct Row {
        double width;
        int columns;
        double cell;
    };
    // 11 columns need 12 gaps of 2: (width - 24) / 11.
    const Row widths[] = {{444, 11, 420.0 / 11}, {1000, 8, (1000 - 18) / 8.0}, {300, 3, (300 - 8) / 3.0},
                          // A window narrower than 11 × 36 keeps shrinking the cells.
                          {240, 11, 216.0 / 11}};
    for (const Row& row : widths) {
        p.width = row.width;
        p.columns = row.columns;
        GridLayoutEngine engine;
        engine.setLayout(p, {25}, false);
        EXPECT_DOUBLE_EQ(engine.cellSide(), row.cell) << row.width;
        const QRectF last = engine.cellRect(24);
        EXPECT_LE(last.right(), row.width - 2 + 1e-9);
    }

    // Three days of 3, 1 and 4 items at 2 columns, width 202: cells of 98.
    p.width = 202;
    p.columns = 2;
    GridLayoutEngine engine;
    engine.setLayout(p, {3, 1, 4}, true);
    ASSERT_DOUBLE_EQ(engine.cellSide(), 98);
    const double headerToGrid = 28 + 8;
    const double s0 = 2;
    const double s1 = s0 + headerToGrid + 2 * 98 + 2 + 12;
    const double s2 = s1 + headerToGrid + 98 + 12;
    EXPECT_DOUBLE_EQ(engine.sectionTop(0), s0);
    EXPECT_DOUBLE_EQ(engine.sectionTop(1), s1);
    EXPECT_DOUBLE_EQ(engine.sectionTop(2), s2);
    EXPECT_DOUBLE_EQ(engine.contentHeight(), s2 + headerToGrid + 2 * 98 + 2 + 2);
    EXPECT_EQ(engine.cellRect(3), QRectF(2, s1 + headerToGrid, 98, 98));
    EXPECT_EQ(engine.cellRect(5), QRectF(102, s2 + headerToGrid, 98, 98));
    EXPECT_EQ(engine.sectionOfItem(4), 2);

    struct Hit {
        QPointF point;
        std::optional<int> item;
    };
    const Hit hits[] = {
        {{50, s0 + headerToGrid + 10}, 0},
        {{150, s0 + headerToGrid + 10}, 1},
        {{101, s0 + headerToGrid + 10}, std::nullopt},     // gap between columns
        {{50, s0 + headerToGrid + 99}, std::nullopt},      // gap between rows
        {{150, s0 + headerToGrid + 110}, std::nullopt},    // the empty fourth place of day one
        {{50, s1 + 10}, std::nullopt},                     // a header
        {{1, s0 + headerToGrid + 10}, std::nullopt},       // left padding
        {{50, s2 + headerToGrid + 100 + 50}, 6},
        {{50, engine.contentHeight() + 100}, std::nullopt}, // below everything
    };
    for (const Hit& hit : hits)
        EXPECT_EQ(engine.itemAt(hit.point), hit.item) << hit.point.x() << "," << hit.point.y();

    // The rows meeting a band, then one row more on either side.
    const auto band = engine.visibleItems(s1 + headerToGrid + 10, s1 + headerToGrid + 20);
    EXPECT_EQ(band.first, 3);
    EXPECT_EQ(band.last, 3);
    const auto wider = engine.visibleItems(s1 + headerToGrid + 10, s1 + headerToGrid + 20, 1);
    EXPECT_EQ(wider.first, 1);
    EXPECT_EQ(wider.last, 5);
    EXPECT_TRUE(engine.visibleItems(-500, -100).isEmpty());

    GridLayoutEngine empty;
    empty.setLayout(p, {}, true);
    EXPECT_TRUE(empty.visibleItems(0, 1000).isEmpty());
    EXPECT_FALSE(empty.itemAt({10, 10}).has_value());
}

TEST(PinchZoom, stepsAndEndStops)
{
    using P = GesturePhase;
    struct Event {
        P phase;
        double magnification;
    };
    struct Row {
        const char* name;
        GridZoomLevel start;
        QList<Event> events;
        GridZoomLevel end;
        double left;
    };
    const Row rows[] = {
        {"slow pinch steps on the third event", GridZoomLevel::columns11,
         {{P::began, 0}, {P::changed, 0.06}, {P::changed, 0.06}, {P::changed, 0.06}}, GridZoomLevel::columns8, 0},
        {"one big event steps once", GridZoomLevel::columns11, {{P::changed, 0.35}}, GridZoomLevel::columns8, 0},
        {"pinching in zooms out", GridZoomLevel::columns6, {{P::changed, -0.2}}, GridZoomLevel::columns8, 0},
        {"held at columns3", GridZoomLevel::columns3, {{P::changed, 0.5}, {P::changed, 0.5}}, GridZoomLevel::columns3,
         0.15},
        {"travel back 0.30 before zooming out", GridZoomLevel::columns3,
         {{P::changed, 0.5}, {P::changed, -0.29}}, GridZoomLevel::columns3, -0.14},
        {"and then it does", GridZoomLevel::columns3, {{P::changed, 0.5}, {P::changed, -0.31}},
         GridZoomLevel::columns6, 0},
        {"held at columns11", GridZoomLevel::columns11, {{P::changed, -0.4}}, GridZoomLevel::columns11, -0.15},
        {"a new gesture starts from zero", GridZoomLevel::columns3, {{P::changed, 0.5}, {P::ended, 0}, {P::began, 0}},
         GridZoomLevel::columns3, 0},
        {"phaseless zero is ignored", GridZoomLevel::columns11, {{P::none, 0}}, GridZoomLevel::columns11, 0},
        {"phaseless events count", GridZoomLevel::columns11, {{P::none, 0.1}, {P::none, 0.1}}, GridZoomLevel::columns8,
         0},
    };
    for (const Row& row : rows) {
        PinchZoomAccumulator pinch;
        GridZoomLevel level = row.start;
        for (const Event& e : row.events)
            if (auto next = pinch.handle(e.phase, e.magnification, level))
                level = *next;
        EXPECT_EQ(level, row.end) << row.name;
        EXPECT_NEAR(pinch.accumulated(), row.left, 1e-9) << row.name;
    }
    EXPECT_FALSE(GridZoom::fromRawValue(4).has_value());
    EXPECT_FALSE(GridZoom::zoomedIn(GridZoomLevel::columns3).has_value());
    EXPECT_FALSE(GridZoom::zoomedOut(GridZoomLevel::columns11).has_value());
}
