#pragma once

#include "app/models/MediaItem.h"
#include "app/platform/metadata/MediaProbe.h"

#include <QDateTime>
#include <QStringView>
#include <QTimeZone>

#include <functional>
#include <optional>

namespace app {

struct PhotoMeta {
    std::optional<QDateTime> date;
    std::optional<double> latitude;
    std::optional<double> longitude;
};

struct VideoMeta {
    std::optional<QDateTime> date;
    std::optional<double> duration;
    std::optional<double> latitude;
    std::optional<double> longitude;
};

// When and where a file was taken, from its own metadata, its name or the file system. Dates are
// read as wall-clock times of `timeZone` (the system's zone unless a test passes another).
// Never fails: what cannot be read stays absent and the next source is tried.
class CaptureDates {
public:
    using Clock = std::function<QDateTime()>;

    explicit CaptureDates(QTimeZone timeZone = QTimeZone::systemTimeZone(), Clock now = {});

    const QTimeZone& timeZone() const { return zone_; }

    PhotoMeta photoMetadata(const PhotoProperties& properties) const;
    VideoMeta videoMetadata(const VideoProperties& properties) const;

    // "yyyy:MM:dd HH:mm:ss", strict; trailing NULs and blanks are ignored.
    std::optional<QDateTime> parseExifDate(QStringView text) const;
    // The creation date of a video: the QuickTime key, else creation_time; 0 and the epoch are no date.
    std::optional<QDateTime> videoCreationDate(const VideoProperties& properties) const;
    // Digits of a file name read as yyyyMMddHHmmss, else yyyyMMdd, between 1970 and tomorrow.
    std::optional<QDateTime> dateFromFilename(QStringView fileName) const;
    // File-name date, else the earlier of birth and modification time, else distantPast().
    QDateTime fallbackDate(const QString& path) const;

    // The GPS position of a photo: refs S and W (any case) negate, missing refs count as N and E.
    static std::optional<Coordinate> coordinate(const PhotoProperties& properties);
    // The first "+lat-lon" pair of an ISO 6709 text.
    static std::optional<Coordinate> coordinateFromISO6709(QStringView text);
    // Finite and within ±90 / ±180; NaN fails.
    static bool isValidCoordinate(double latitude, double longitude);
    // Earlier than any real capture date, the same for every file.
    static QDateTime distantPast();

private:
    QDateTime wallClock(QDate date, QTime time) const;
    QDateTime now() const;

    QTimeZone zone_;
    Clock now_;
};

} // namespace app
