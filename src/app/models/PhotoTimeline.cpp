#include "app/models/PhotoTimeline.h"

namespace app {

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

    for (const auto& item : items) {
        const QDate date = item.captureDate.toTimeZone(zone).date();
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
