#pragma once

#include "app/models/MediaItem.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QTimeZone>

#include <optional>
#include <vector>

namespace app {

// One zone's offsets from UTC over a span of instants, looked up without asking the zone each time:
// Qt works every answer out again (its abbreviation included), which costs a 100,000-item library
// tens of milliseconds on the way to its first screen. Outside the span the zone itself answers.
class ZoneOffsets {
public:
    ZoneOffsets(const QTimeZone& zone, qint64 fromMs, qint64 toMs);
    int secondsAt(qint64 msSinceEpoch) const;
    // The instant at the zone's offset then: its date and time of day are the zone's.
    QDateTime dateTime(qint64 msSinceEpoch) const;
    // The calendar day in the zone, as toTimeZone(zone).date() gives it.
    QDate date(qint64 msSinceEpoch) const;

private:
    bool covers(qint64 ms) const { return ms >= from_ && ms <= to_; }

    QTimeZone zone_;
    qint64 from_ = 0;
    qint64 to_ = -1;
    std::vector<qint64> changes_; // instants where the offset changes, ascending
    std::vector<int> offsets_; // before the first change, then from each change on
};

// The calendar the grid groups by: Gregorian in the given zone (the user's current one).
// Passed in explicitly because Qt caches the system zone.

struct PhotoTimelineFormatting {
    // "yyyy年MM月dd日" with ASCII digits whatever the user's language.
    static QString dayTitle(const QDateTime& date, const QTimeZone& zone = QTimeZone::systemTimeZone());
    // "%04d-%02d-%02d" of the date's calendar day in the zone.
    static QString dayID(const QDateTime& date, const QTimeZone& zone);
};

struct DaySection {
    QString id;
    QDateTime day; // start of the calendar day of the first item
    MediaItems items;

    QString title() const { return PhotoTimelineFormatting::dayTitle(day); }
    QString title(const QTimeZone& zone) const { return PhotoTimelineFormatting::dayTitle(day, zone); }
    friend bool operator==(const DaySection&, const DaySection&) = default;
};

enum class TimelineMarkKind { year, month, day };

struct TimelineMark {
    QString id;
    TimelineMarkKind kind = TimelineMarkKind::day;
    QDateTime day;
    QString scrollID;
    double position = 0;
    std::optional<QString> yearLabel;

    QString tooltip() const { return PhotoTimelineFormatting::dayTitle(day); }
    QString tooltip(const QTimeZone& zone) const { return PhotoTimelineFormatting::dayTitle(day, zone); }
    friend bool operator==(const TimelineMark&, const TimelineMark&) = default;
};

struct PhotoTimelineBuilder {
    // Groups consecutive items of one day; neither sorts nor merges.
    static QList<DaySection> sections(const MediaItems& items, const QTimeZone& zone);
    // One mark per section, evenly spaced from 0 to 1.
    static QList<TimelineMark> marks(const QList<DaySection>& sections, const QTimeZone& zone);
};

} // namespace app
