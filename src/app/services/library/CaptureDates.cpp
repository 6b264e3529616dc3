#include "app/services/library/CaptureDates.h"

#include <algorithm>

#include <QFileInfo>

#include <cmath>

namespace app {
namespace {

// Fixed-width decimal field; every character must be a decimal digit (any script).
bool digitsAt(QStringView s, qsizetype pos, qsizetype len, int& out)
{
    if (pos + len > s.size())
        return false;
    int value = 0;
    for (qsizetype i = pos; i < pos + len; ++i) {
        const int d = s[i].digitValue();
        if (d < 0 || d > 9)
            return false;
        value = value * 10 + d;
    }
    out = value;
    return true;
}

bool validDateTime(int y, int mo, int d, int h, int mi, int s, QDate& date, QTime& time)
{
    if (h > 23 || mi > 59 || s > 59)
        return false;
    date = QDate(y, mo, d);
    time = QTime(h, mi, s);
    return date.isValid() && time.isValid();
}

QDateTime unixEpoch()
{
    return QDateTime::fromMSecsSinceEpoch(0, QTimeZone::utc());
}

} // namespace

CaptureDates::CaptureDates(QTimeZone timeZone, Clock now)
    : zone_(timeZone.isValid() ? std::move(timeZone) : QTimeZone::utc()), now_(std::move(now))
{
}

QDateTime CaptureDates::now() const
{
    return now_ ? now_() : QDateTime::currentDateTimeUtc();
}

QDateTime CaptureDates::wallClock(QDate date, QTime time) const
{
    return QDateTime(date, time, zone_);
}

QDateTime CaptureDates::distantPast()
{
    static const QDateTime past(QDate(1, 1, 1), QTime(0, 0), QTimeZone::utc());
    return past;
}

bool CaptureDates::isValidCoordinate(double latitude, double longitude)
{
    // Written so that NaN fails every comparison.
    return latitude >= -90 && latitude <= 90 && longitude >= -180 && longitude <= 180;
}

std::optional<QDateTime> CaptureDates::parseExifDate(QStringView text) const
{
    while (!text.isEmpty() && (text.back() == QChar(0) || text.back() == u' '))
        text.chop(1);
    if (text.size() != 19 || text[4] != u':' || text[7] != u':' || text[10] != u' ' || text[13] != u':'
        || text[16] != u':')
        return std::nullopt;
    int y, mo, d, h, mi, s;
    if (!digitsAt(text, 0, 4, y) || !digitsAt(text, 5, 2, mo) || !digitsAt(text, 8, 2, d)
        || !digitsAt(text, 11, 2, h) || !digitsAt(text, 14, 2, mi) || !digitsAt(text, 17, 2, s))
        return std::nullopt;
    QDate date;
    QTime time;
    if (!validDateTime(y, mo, d, h, mi, s, date, time))
        return std::nullopt;
    QDateTime result = wallClock(date, time);
    if (!result.isValid())
        return std::nullopt;
    return result;
}

std::optional<QDateTime> CaptureDates::dateFromFilename(QStringView fileName) const
{
    QString digits;
    for (const QChar c : fileName)
        if (c.isNumber())
            digits.append(c);
    const QDateTime lower = unixEpoch();
    const QDateTime upper = now().addSecs(86400);
    for (const qsizetype length : {14, 8}) {
        if (digits.size() < length)
            continue;
        int y, mo, d, h = 0, mi = 0, s = 0;
        bool ok = digitsAt(digits, 0, 4, y) && digitsAt(digits, 4, 2, mo) && digitsAt(digits, 6, 2, d);
        if (ok && length == 14)
            ok = digitsAt(digits, 8, 2, h) && digitsAt(digits, 10, 2, mi) && digitsAt(digits, 12, 2, s);
        QDate date;
        QTime time;
        if (!ok || !validDateTime(y, mo, d, h, mi, s, date, time))
            continue;
        const QDateTime result = wallClock(date, time);
        if (result.isValid() && result > lower && result < upper)
            return result;
    }
    return std::nullopt;
}

QDateTime CaptureDates::fallbackDate(const QString& path) const
{
    const qsizetype slash = path.lastIndexOf(u'/');
    if (auto fromName = dateFromFilename(QStringView(path).mid(slash + 1)))
        return *fromName;
    const QFileInfo info(path);
    // A copy on Linux gets a new birth time but keeps its modification time, so the earlier of the two
    // is the file's own date. Birth time needs statx and a file system that records it.
    const QDateTime born = info.birthTime();
    const QDateTime modified = info.lastModified();
    if (born.isValid() && modified.isValid())
        return std::min(born, modified);
    if (born.isValid())
        return born;
    if (modified.isValid())
        return modified;
    return distantPast();
}

std::optional<Coordinate> CaptureDates::coordinate(const PhotoProperties& p)
{
    if (!p.gpsLatitude || !p.gpsLongitude)
        return std::nullopt;
    double latitude = *p.gpsLatitude;
    double longitude = *p.gpsLongitude;
    if (p.gpsLatitudeRef && p.gpsLatitudeRef->toUpper() == QLatin1String("S"))
        latitude = -latitude;
    if (p.gpsLongitudeRef && p.gpsLongitudeRef->toUpper() == QLatin1String("W"))
        longitude = -longitude;
    if (!isValidCoordinate(latitude, longitude))
        return std::nullopt;
    return Coordinate{latitude, longitude};
}

std::optional<Coordinate> CaptureDates::coordinateFromISO6709(QStringView text)
{
    // The first "[+-]digits[.digits]" immediately followed by another. A backtracking regular
    // expression takes quadratic time on a long run of digits (a hostile tag stalls a scan for
    // minutes); this scan is linear. A number cannot contain a sign, so when the greedy first number
    // is not followed by a second one, no shorter first number is either: go on at the next sign.
    const auto isDigit = [](QChar c) { return c >= u'0' && c <= u'9'; };
    const auto isSign = [](QChar c) { return c == u'+' || c == u'-'; };
    const qsizetype n = text.size();
    // End of the signed number starting at `i`, or -1 when none starts there.
    const auto numberEnd = [&](qsizetype i) -> qsizetype {
        if (i + 1 >= n || !isSign(text[i]) || !isDigit(text[i + 1]))
            return -1;
        qsizetype j = i + 1;
        while (j < n && isDigit(text[j]))
            ++j;
        if (j < n && text[j] == u'.')
            ++j;
        while (j < n && isDigit(text[j]))
            ++j;
        return j;
    };
    for (qsizetype i = 0; i < n; ++i) {
        const qsizetype latEnd = numberEnd(i);
        if (latEnd < 0)
            continue;
        const qsizetype lonEnd = numberEnd(latEnd);
        if (lonEnd < 0) {
            i = latEnd - 1; // nothing inside the first number can start a match
            continue;
        }
        bool okLat = false;
        bool okLon = false;
        const double latitude = text.mid(i, latEnd - i).toDouble(&okLat);
        const double longitude = text.mid(latEnd, lonEnd - latEnd).toDouble(&okLon);
        if (!okLat || !okLon || !isValidCoordinate(latitude, longitude))
            return std::nullopt;
        return Coordinate{latitude, longitude};
    }
    return std::nullopt;
}

PhotoMeta CaptureDates::photoMetadata(const PhotoProperties& p) const
{
    PhotoMeta meta;
    for (const auto* text : {&p.dateTimeOriginal, &p.dateTimeDigitized}) {
        if (*text) {
            if (auto date = parseExifDate(**text)) {
                meta.date = date;
                break;
            }
        }
    }
    if (!meta.date && p.dateTime)
        meta.date = parseExifDate(*p.dateTime);
    if (p.hasGps) {
        if (auto c = coordinate(p)) {
            meta.latitude = c->latitude;
            meta.longitude = c->longitude;
        }
    }
    return meta;
}

std::optional<QDateTime> CaptureDates::videoCreationDate(const VideoProperties& p) const
{
    const QDateTime epoch = unixEpoch();
    for (const auto* text : {&p.quickTimeCreationDate, &p.creationTime}) {
        if (!*text)
            continue;
        QDateTime date = QDateTime::fromString((*text)->trimmed(), Qt::ISODate);
        if (!date.isValid())
            continue;
        // Without an offset the text is a wall-clock time of our zone.
        if (date.timeSpec() == Qt::LocalTime)
            date = QDateTime(date.date(), date.time(), zone_);
        if (date.isValid() && date > epoch)
            return date;
    }
    return std::nullopt;
}

VideoMeta CaptureDates::videoMetadata(const VideoProperties& p) const
{
    VideoMeta meta;
    if (!p.readable)
        return meta;
    meta.date = videoCreationDate(p);
    if (p.duration && std::isfinite(*p.duration) && *p.duration > 0)
        meta.duration = *p.duration;
    for (const QString& text : p.iso6709Locations) {
        if (auto c = coordinateFromISO6709(text)) {
            meta.latitude = c->latitude;
            meta.longitude = c->longitude;
            break;
        }
    }
    return meta;
}

} // namespace app
