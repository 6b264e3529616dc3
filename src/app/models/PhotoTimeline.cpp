#include "app/models/PhotoTimeline.h"

#include <algorithm>
#include <limits>

namespace app {

ZoneOffsets::ZoneOffsets(const QTimeZone& zone, qint64 fromMs, qint64 toMs) : zone_(zone)
{
    // A zone that cannot list its transitions is asked for every instant.
    if (!zone_.isValid() || fromMs > toMs || (!zone_.hasTransitions() && zone_.hasDaylightTime()))
        return;
    const QDateTime from = QDateTime::fromMSecsSinceEpoch(fromMs, Qt::UTC);
    const QDateTime to = QDateTime::fromMSecsSinceEpoch(toMs, Qt::UTC);
    if (!from.isValid() || !to.isValid())
        return;
    offsets_.push_back(zone_.offsetFromUtc(from));
    for (const QTimeZone::OffsetData& change : zone_.transitions(from, to)) {
        const qint64 at = change.atUtc.toMSecsSinceEpoch();
        if (at <= fromMs || at > toMs || change.offsetFromUtc == offsets_.back())
            continue;
        changes_.push_back(at);
        offsets_.push_back(change.offsetFromUtc);
    }
    from_ = fromMs;
    to_ = toMs;
}

int ZoneOffsets::secondsAt(qint64 msSinceEpoch) const
{
    if (!covers(msSinceEpoch))
        return zone_.offsetFromUtc(QDateTime::fromMSecsSinceEpoch(msSinceEpoch, Qt::UTC));
    return offsets_[size_t(std::upper_bound(changes_.begin(), changes_.end(), msSinceEpoch) - changes_.begin())];
}

QDateTime ZoneOffsets::dateTime(qint64 msSinceEpoch) const
{
    if (!covers(msSinceEpoch))
        return QDateTime::fromMSecsSinceEpoch(msSinceEpoch, zone_);
    return QDateTime::fromMSecsSinceEpoch(msSinceEpoch, Qt::OffsetFromUTC, secondsAt(msSinceEpoch));
}

QDate ZoneOffsets::date(qint64 msSinceEpoch) const
{
    if (!covers(msSinceEpoch))
        return QDateTime::fromMSecsSinceEpoch(msSinceEpoch, Qt::UTC).toTimeZone(zone_).date();
    constexpr qint64 msPerDay = 86'400'000;
    constexpr qint64 julianDayOfEpoch = 2'440'588;
    const qint64 local = msSinceEpoch + qint64(secondsAt(msSinceEpoch)) * 1000;
    const qint64 days = local / msPerDay - (local % msPerDay < 0 ? 1 : 0);
    return QDate::fromJulianDay(julianDayOfEpoch + days);
}

QString PhotoTimelineFormatting::dayTitle(const QDateTime& date, const QTimeZone& zone)
{
    const QDate d = date.toTimeZone(zone).date();
    return QString("%1年%2月%3日")
        .arg(d.year(), 4, 10, QChar(u'0'))
        .arg(d.month(), 2, 10, QChar(u'0'))
        .arg(d.day(), 2, 10, QChar(u'0'));
}

QString PhotoTimelineFormatting::dayID(const QDateTime& date, const QTimeZone& zone)
{
    const QDate d = date.toTimeZone(zone).date();
    if (!d.isValid())
        return QStringLiteral("0000-00-00");
    return QString::asprintf("%04d-%02d-%02d", d.year(), d.month(), d.day());
}

QList<DaySection> PhotoTimelineBuilder::sections(const MediaItems& items, const QTimeZone& zone)
{
    QList<DaySection> result;
    QDate currentDate;
    QDateTime currentDay;
    MediaItems run;

    const auto close = [&] {
        if (!run.isEmpty())
            result.append(DaySection{PhotoTimelineFormatting::dayID(currentDay, zone), currentDay, std::move(run)});
        run = {};
    };

    qint64 earliest = std::numeric_limits<qint64>::max();
    qint64 latest = std::numeric_limits<qint64>::min();
    for (const auto& item : items) {
        if (item.captureDate.isValid()) {
            earliest = std::min(earliest, item.captureTimeMs());
            latest = std::max(latest, item.captureTimeMs());
        }
    }
    const ZoneOffsets offsets(zone, earliest, latest);
    for (const auto& item : items) {
        const QDate date = item.captureDate.isValid() ? offsets.date(item.captureTimeMs()) : QDate();
        if (currentDate.isValid() && date == currentDate) {
            run.append(item);
            continue;
        }
        close();
        currentDate = date;
        // startOfDay copes with zones whose midnight falls in a DST gap.
        currentDay = date.startOfDay(zone);
        run.append(item);
    }
    close();
    return result;
}

QList<TimelineMark> PhotoTimelineBuilder::marks(const QList<DaySection>& sections, const QTimeZone& zone)
{
    QList<TimelineMark> result;
    result.reserve(sections.size());
    const qsizetype n = sections.size();
    int previousYear = 0;
    int previousYearMonth = 0;
    for (qsizetype i = 0; i < n; ++i) {
        const DaySection& section = sections[i];
        const QDate date = section.day.toTimeZone(zone).date();
        const int year = date.isValid() ? date.year() : 0;
        const int yearMonth = year * 100 + (date.isValid() ? date.month() : 0);

        TimelineMark mark;
        mark.position = n == 1 ? 0.5 : static_cast<double>(i) / static_cast<double>(n - 1);
        if (i == 0 || year != previousYear) {
            mark.kind = TimelineMarkKind::year;
            mark.id = "year-" + section.id;
            mark.yearLabel = QString::number(year);
        } else if (yearMonth != previousYearMonth) {
            mark.kind = TimelineMarkKind::month;
            mark.id = "month-" + section.id;
        } else {
            mark.kind = TimelineMarkKind::day;
            mark.id = "day-" + section.id;
        }
        mark.day = section.day;
        mark.scrollID = section.id;
        result.append(std::move(mark));
        previousYear = year;
        previousYearMonth = yearMonth;
    }
    return result;
}

} // namespace app
