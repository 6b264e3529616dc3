#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>
#include <optional>

namespace app {

// What a photo file says about itself, read without decoding pixels. Nothing is interpreted here:
// texts stay as stored (trailing NULs removed), numbers keep their raw value. A rational with a zero
// denominator reads as inf or NaN, so callers that format or convert a number check it first.
// A key that is present with a value of the wrong type is present as NaN (numbers) so that
// "is the key there at all" questions still have an answer.
struct PhotoProperties {
    bool readable = false; // the container was recognised and its metadata read

    std::optional<qint64> pixelWidth;  // stored size, before orientation
    std::optional<qint64> pixelHeight;
    std::optional<int> orientation;    // Exif.Image.Orientation as stored (1..8 when sane)

    // TIFF / IFD0
    bool hasTiff = false;
    std::optional<QString> make;
    std::optional<QString> model;
    std::optional<QString> software;
    std::optional<QString> dateTime;

    // EXIF sub-IFD
    bool hasExif = false;
    std::optional<QString> dateTimeOriginal;
    std::optional<QString> dateTimeDigitized;
    std::optional<QString> lensModel;
    std::optional<double> fNumber;
    std::optional<double> exposureTime; // seconds
    std::optional<double> focalLength;  // millimetres
    std::optional<QList<qint64>> isoSpeedRatings;
    std::optional<qint64> flash;
    std::optional<qint64> whiteBalance;

    // GPS; latitude and longitude are unsigned degrees (d + m/60 + s/3600), the refs give the sign.
    bool hasGps = false;
    std::optional<double> gpsLatitude;
    std::optional<double> gpsLongitude;
    std::optional<QString> gpsLatitudeRef;
    std::optional<QString> gpsLongitudeRef;
    std::optional<double> gpsAltitude;
    std::optional<qint64> gpsAltitudeRef;
};

// What a video container says about itself. Tags are the container's format tags, as text.
struct VideoProperties {
    bool readable = false; // the container opened

    std::optional<double> duration; // seconds as the container reports it (may be 0 or negative)

    std::optional<QString> quickTimeCreationDate; // com.apple.quicktime.creationdate (ISO 8601, local offset)
    std::optional<QString> creationTime;          // creation_time (ISO 8601, UTC)
    // ISO 6709 texts in the order to try: com.apple.quicktime.location.ISO6709, then location tags.
    QStringList iso6709Locations;
    std::optional<QString> make;  // com.apple.quicktime.make, else make
    std::optional<QString> model; // com.apple.quicktime.model, else model

    // First video stream (absent for sound-only files).
    bool hasVideoTrack = false;
    int width = 0;  // displayed size: swapped for a quarter-turn display matrix
    int height = 0;
    double rotation = 0; // degrees from the display matrix, 0 when there is none
    std::optional<double> frameRate; // average, else real base frame rate
    quint32 codecFourCC = 0; // first character in the most significant byte; 0 when the container has none
    QString codecName;       // FFmpeg's short name of the codec ("h264", "hevc", ...)
};

// Reads files from drives, so every reader is defensive: it never throws and never crashes on a
// hostile file; what it cannot read stays absent. Implementations are safe to call from many
// threads at once.
class MediaProbe {
public:
    enum class VideoDetail {
        tags,    // container tags, duration and the streams' header values: cheap, no packets read
        streams, // also read packets when the header leaves the video size unknown (MPEG-TS, some MKV)
    };

    virtual ~MediaProbe() = default;
    virtual PhotoProperties readPhoto(const QString& path) const = 0;
    // Same, for a file whose size the caller already knows from walking its folder: no second stat.
    virtual PhotoProperties readPhoto(const QString& path, qint64 knownSize) const
    {
        (void)knownSize;
        return readPhoto(path);
    }
    virtual VideoProperties readVideo(const QString& path, VideoDetail detail = VideoDetail::tags) const = 0;

    // The real probe over exiv2, libheif and FFmpeg, shared by the whole process.
    static std::shared_ptr<const MediaProbe> system();
};

// Quiets and prepares exiv2, libheif and FFmpeg once per process; safe from any thread.
void initialiseMediaLibraries();

} // namespace app
