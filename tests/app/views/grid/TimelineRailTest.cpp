#include "app/views/grid/TimelineRail.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QPainter>

using namespace app;
using namespace app::TimelineRailMath;

namespace {

TimelineMark mark(TimelineMarkKind kind, double position, const QString& id)
{
    TimelineMark m;
    m.kind = kind;
    m.position = position;
    m.id = id;
    return m;
}

} // namespace

TEST(TimelineRail, magnificationNearestMarkAndGeometry)
{
    const Parameters p;
    struct Row {
        double position, height;
        std::optional<double> hover;
        double expected;
    };
    const Row rows[] = {
        {0.5, 200, std::nullopt, 1},
        {0.5, 200, 100, 1.9},        // right under the pointer
        {0.5, 200, 156, 1},          // exactly the radius away
        {0.5, 200, 128, 1 + 0.9 * 0.5}, // halfway: smoothstep(0.5) = 0.5
        {0.0, 200, 300, 1},
    };
    for (const Row& row : rows)
        EXPECT_NEAR(magnification(row.position, row.height, row.hover, p), row.expected, 1e-9);
    EXPECT_NEAR(rowOpacity(1, true, p), 0.45 + 0.55 / 1.9, 1e-12);
    EXPECT_DOUBLE_EQ(rowOpacity(1.9, true, p), 1);
    EXPECT_DOUBLE_EQ(rowOpacity(1, false, p), 1);

    const QList<TimelineMark> two{mark(TimelineMarkKind::year, 0.25, "a"), mark(TimelineMarkKind::day, 0.75, "b")};
    struct Near {
        QList<TimelineMark> marks;
        double y, height;
        std::optional<int> expected;
    };
    const Near nears[] = {
        {{}, 10, 100, std::nullopt},
        {{mark(TimelineMarkKind::day, 0.9, "only")}, -500, 100, 0},
        {two, 50, 100, 0},    // a tie goes to the earlier mark
        {two, 51, 100, 1},
        {two, -40, 100, 0},   // clamped to the top
        {two, 900, 100, 1},   // clamped to the bottom
        {two, 0.2, 0.5, 0},   // a rail under 1 point counts as 1 point high
    };
    for (const Near& n : nears)
        EXPECT_EQ(nearestMark(n.marks, n.y, n.height), n.expected) << n.y;

    // Month and day rows end at the line railWidth - trailingInset; a year row's frame reaches
    // 26 points beyond it, and magnified it starts about 36 points left of the rail.
    for (TimelineMarkKind kind : {TimelineMarkKind::month, TimelineMarkKind::day})
        EXPECT_DOUBLE_EQ(rowCentreX(kind, p) + rowFrame(kind).width() / 2, 90);
    const double yearTrailing = rowCentreX(TimelineMarkKind::year, p) + rowFrame(TimelineMarkKind::year).width() / 2;
    EXPECT_DOUBLE_EQ(yearTrailing, 116);
    EXPECT_NEAR(yearTrailing - rowFrame(TimelineMarkKind::year).width() * 1.9, -36, 1e-9);
    EXPECT_DOUBLE_EQ(tooltipCentreX(TimelineMarkKind::year, p), -8);
}

// Year labels a few pixels apart would print over each other; the later one gives way.
TEST(TimelineRail, yearLabelsThatWouldOverlapAreLeftOut)
{
    const auto year = [](double position, const char* label) {
        TimelineMark m = mark(TimelineMarkKind::year, position, label);
        m.yearLabel = QString(label);
        return m;
    };
    struct Row {
        const char* name;
        QList<TimelineMark> marks;
        QList<bool> shown;
    };
    // A rail of 1000 px with labels 18 px high.
    const Row rows[] = {
        {"12 px apart", {year(0.100, "2026"), year(0.112, "2024")}, {true, false}},
        {"exactly one label apart", {year(0.100, "2026"), year(0.118, "2024")}, {true, true}},
        {"compared with the last label drawn", {year(0.100, "2026"), year(0.110, "2025"), year(0.120, "2024")},
         {true, false, true}},
        {"days have no labels", {year(0.100, "2026"), mark(TimelineMarkKind::day, 0.105, "d"), year(0.130, "2025")},
         {true, false, true}},
        {"order of the list does not matter", {year(0.112, "2024"), year(0.100, "2026")}, {false, true}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(shownYearLabels(row.marks, 1000, 18), row.shown);
    }

    // On a painted rail the label column is the same as with the first year alone; the second
    // year keeps its tick.
    TimelineRail rail;
    rail.resize(108, 400);
    const auto shot = [&rail](const QList<TimelineMark>& marks) {
        rail.setMarks(marks);
        QImage image(300, 440, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::white);
        QPainter painter(&image);
        painter.translate(150, 20);
        rail.paintRail(painter);
        return image;
    };
    const QImage both = shot({year(0.300, "2026"), year(0.330, "2024")});
    const QImage first = shot({year(0.300, "2026")});
    EXPECT_EQ(both.copy(0, 0, 200, 440), first.copy(0, 0, 200, 440));
    EXPECT_NE(both, first);
    const QString shots = qEnvironmentVariable("TESS_SCREENSHOT_DIR");
    if (!shots.isEmpty())
        both.save(shots + "/rail-close-years.png");
}

TEST(TimelineRail, springSettlesOnItsTarget)
{
    RailSpring spring;
    spring.target = 100;
    double peak = 0;
    for (int i = 0; i < 120; ++i) {
        spring.step(1.0 / 60);
        peak = std::max(peak, spring.value);
    }
    EXPECT_TRUE(spring.settled());
    EXPECT_DOUBLE_EQ(spring.value, 100);
    // Damping fraction 0.78 overshoots a little, never much.
    EXPECT_LT(peak, 103);
}

TEST(TimelineRail, restingPictureFollowsMarksAndSize)
{
    TimelineRail rail;
    rail.resize(108, 300);
    const auto shot = [&rail] {
        QImage image(300, 340, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::white);
        QPainter painter(&image);
        painter.translate(150, 20);
        rail.paintRail(painter);
        return image;
    };
    rail.setMarks({mark(TimelineMarkKind::year, 0, "year-a"), mark(TimelineMarkKind::day, 1, "day-b")});
    const QImage first = shot();
    EXPECT_EQ(shot(), first);
    // New marks and a new height are painted at once, not the picture kept from before.
    rail.setMarks({mark(TimelineMarkKind::year, 0.5, "year-c")});
    const QImage moved = shot();
    EXPECT_NE(moved, first);
    rail.resize(108, 200);
    EXPECT_NE(shot(), moved);
}
