#include "app/models/PhotoTimeline.h"

#include <gtest/gtest.h>

using namespace app;

namespace {
const QTimeZone shanghai("Asia/Shanghai");

MediaItem at(const QString& name, QDate date, QTime time, const QTimeZone& zone = shanghai)
{
    MediaItem i;
    i.url = "/lib/" + name;
    i.captureDate = QDateTime(date, time, zone);
    return i;
}

QList<DaySection> sectionsFor(const QList<QDate>& days)
{
    MediaItems items;
    for (const QDate& d : days)
        items.append(at(d.toString(Qt::ISODate) + ".jpg", d, QTime(12, 0)));
    return PhotoTimelineBuilder::sections(items, shanghai);
}
} // namespace

TEST(PhotoTimeline, MarksOfFourSections)
{
    const auto sections = sectionsFor({QDate(2024, 5, 31), QDate(2024, 5, 30), QDate(2024, 4, 2), QDate(2023, 12, 31)});
    const auto marks = PhotoTimelineBuilder::marks(sections, shanghai);
    ASSERT_EQ(marks.size(), 4);
    struct Expected {
        const char* id;
        TimelineMarkKind kind;
        double position;
        std::optional<QString> label;
    };
    const Expected expected[] = {
        {"year-2024-05-31", TimelineMarkKind::year, 0.0, QString("2024")},
        {"day-2024-05-30", TimelineMarkKind::day, 1.0 / 3, std::nullopt},
        {"month-2024-04-02", TimelineMarkKind::month, 2.0 / 3, std::nullopt},
        {"year-2023-12-31", TimelineMarkKind::year, 1.0, QString("2023")},
    };
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(marks[i].id, expected[i].id);
        EXPECT_EQ(marks[i].kind, expected[i].kind) << i;
        EXPECT_DOUBLE_EQ(marks[i].position, expected[i].position) << i;
        EXPECT_EQ(marks[i].yearLabel, expected[i].label) << i;
        EXPECT_EQ(marks[i].scrollID, sections[i].id);
        EXPECT_EQ(marks[i].day, sections[i].day);
    }
    EXPECT_EQ(marks[2].tooltip(shanghai), "2024年04月02日");
}

TEST(PhotoTimeline, SectionsTable)
{
    EXPECT_TRUE(PhotoTimelineBuilder::sections({}, shanghai).isEmpty());
    EXPECT_TRUE(PhotoTimelineBuilder::marks({}, shanghai).isEmpty());

    // A single day: one section, one year mark in the middle of the rail.
    const auto single = sectionsFor({QDate(2024, 5, 7), QDate(2024, 5, 7)});
    ASSERT_EQ(single.size(), 1);
    EXPECT_EQ(single[0].items.size(), 2);
    const auto singleMarks = PhotoTimelineBuilder::marks(single, shanghai);
    ASSERT_EQ(singleMarks.size(), 1);
    EXPECT_DOUBLE_EQ(singleMarks[0].position, 0.5);
    EXPECT_EQ(singleMarks[0].yearLabel, QString("2024"));

    // Unsorted input is not merged: runs of one day only.
    const MediaItems unsorted{at("a", QDate(2024, 5, 7), QTime(10, 0)), at("b", QDate(2024, 5, 6), QTime(23, 59)),
                              at("c", QDate(2024, 5, 7), QTime(8, 0))};
    const auto runs = PhotoTimelineBuilder::sections(unsorted, shanghai);
    ASSERT_EQ(runs.size(), 3);
    EXPECT_EQ(runs[0].id, "2024-05-07");
    EXPECT_EQ(runs[1].id, "2024-05-06");
    EXPECT_EQ(runs[2].id, "2024-05-07");
    EXPECT_EQ(runs[0].title(shanghai), "2024年05月07日");
    EXPECT_EQ(runs[0].day, QDateTime(QDate(2024, 5, 7), QTime(0, 0), shanghai));

    // Minutes either side of local midnight are different days; the zone decides.
    const MediaItems midnight{at("late", QDate(2024, 5, 7), QTime(0, 3)), at("early", QDate(2024, 5, 6), QTime(23, 57))};
    EXPECT_EQ(PhotoTimelineBuilder::sections(midnight, shanghai).size(), 2);
    const QTimeZone utc = QTimeZone::utc();
    const auto inUtc = PhotoTimelineBuilder::sections(midnight, utc);
    ASSERT_EQ(inUtc.size(), 1) << "16:03 and 15:57 UTC on the 6th";
    EXPECT_EQ(inUtc[0].id, "2024-05-06");
}

TEST(PhotoTimeline, MidnightDaylightSavingGapLosesNoItem)
{
    // São Paulo skipped 2018-11-04 00:00–01:00: that day starts at 01:00.
    const QTimeZone saoPaulo("America/Sao_Paulo");
    if (!saoPaulo.isValid())
        GTEST_SKIP() << "time zone data for America/Sao_Paulo is not installed";
    const MediaItems items{at("a", QDate(2018, 11, 4), QTime(10, 0), saoPaulo),
                           at("b", QDate(2018, 11, 4), QTime(1, 30), saoPaulo),
                           at("c", QDate(2018, 11, 3), QTime(23, 30), saoPaulo)};
    const auto sections = PhotoTimelineBuilder::sections(items, saoPaulo);
    ASSERT_EQ(sections.size(), 2);
    EXPECT_EQ(sections[0].id, "2018-11-04");
    EXPECT_EQ(sections[0].items.size(), 2);
    EXPECT_TRUE(sections[0].day.isValid());
    EXPECT_EQ(sections[0].day.toTimeZone(saoPaulo).time(), QTime(1, 0));
    EXPECT_EQ(sections[1].id, "2018-11-03");
    const auto marks = PhotoTimelineBuilder::marks(sections, saoPaulo);
    EXPECT_EQ(marks[0].id, "year-2018-11-04");
    EXPECT_EQ(marks[1].id, "day-2018-11-03");
}

// Offsets looked up from the zone's transitions agree with the zone itself, at and around every
// change within the span and outside it.
TEST(PhotoTimeline, ZoneOffsetsAgreeWithTheZone)
{
    const QDateTime from(QDate(1900, 1, 1), QTime(0, 0), Qt::UTC);
    const QDateTime to(QDate(2040, 1, 1), QTime(0, 0), Qt::UTC);
    for (const char* id : {"Europe/Berlin", "Australia/Lord_Howe", "America/Sao_Paulo", "Asia/Shanghai", "UTC"}) {
        SCOPED_TRACE(id);
        const QTimeZone zone(id);
        ASSERT_TRUE(zone.isValid());
        const ZoneOffsets offsets(zone, from.toMSecsSinceEpoch(), to.toMSecsSinceEpoch());
        QList<qint64> instants{QDateTime(QDate(1, 1, 1), QTime(0, 0), Qt::UTC).toMSecsSinceEpoch(),
                               from.toMSecsSinceEpoch() - 1, from.toMSecsSinceEpoch(), 0,
                               to.toMSecsSinceEpoch(), to.toMSecsSinceEpoch() + 1,
                               QDateTime(QDate(2100, 7, 1), QTime(0, 0), Qt::UTC).toMSecsSinceEpoch()};
        for (const QTimeZone::OffsetData& change : zone.transitions(from, to))
            for (qint64 delta : {-3'600'000LL, -1LL, 0LL, 1LL, 3'600'000LL})
                instants.append(change.atUtc.toMSecsSinceEpoch() + delta);
        for (const qint64 ms : instants) {
            const QDateTime expected = QDateTime::fromMSecsSinceEpoch(ms, zone);
            EXPECT_EQ(offsets.secondsAt(ms), expected.offsetFromUtc()) << ms;
            EXPECT_EQ(offsets.date(ms), expected.date()) << ms;
            const QDateTime made = offsets.dateTime(ms);
            EXPECT_EQ(made.toMSecsSinceEpoch(), ms);
            EXPECT_EQ(made.date(), expected.date()) << ms;
            EXPECT_EQ(made.time(), expected.time()) << ms;
        }
    }
}
