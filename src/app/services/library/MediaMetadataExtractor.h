#pragma once

#include "app/models/MediaItem.h"
#include "app/platform/metadata/MediaProbe.h"
#include "app/services/library/CaptureDates.h"

#include <QFuture>
#include <QList>
#include <QString>
#include <QTimeZone>

#include <memory>
#include <optional>

namespace app {

// The texts of the viewer's metadata card, already formatted.
struct MediaMetadata {
    struct Row {
        QString id; // always the label, so a list never holds two rows with one label
        QString label;
        QString value;
        friend bool operator==(const Row&, const Row&) = default;
    };

    QString fileName;
    std::optional<QString> fileSize;
    QString kindLabel;
    std::optional<QString> dimensions;
    std::optional<QString> captureDate;
    std::optional<QString> cameraMake;
    std::optional<QString> cameraModel;
    std::optional<QString> lens;
    std::optional<QString> focalLength;
    std::optional<QString> aperture;
    std::optional<QString> shutterSpeed;
    std::optional<QString> iso;
    std::optional<QString> flash;
    std::optional<QString> whiteBalance;
    std::optional<QString> gps;
    std::optional<QString> altitude;
    std::optional<QString> duration;
    std::optional<QString> frameRate;
    std::optional<QString> codec;

    // The card's rows in its fixed order; fields that are absent or empty give no row.
    QList<Row> rows() const;
};

// Reads one item's file into its metadata card. Never fails: what cannot be read gives no row.
class MediaMetadataExtractor {
public:
    // Dates are shown in `timeZone`, the user's own unless a test passes another.
    explicit MediaMetadataExtractor(std::shared_ptr<const MediaProbe> probe = MediaProbe::system(),
                                    QTimeZone timeZone = QTimeZone::systemTimeZone());

    // Blocking: reads the file. Run it off the main thread, or use extractAsync().
    MediaMetadata extract(const MediaItem& item) const;
    // extract() on the global thread pool.
    QFuture<MediaMetadata> extractAsync(const MediaItem& item) const;

    // In Chinese whatever the locale ("767 字节", "2.3 MB"); absent when the size cannot be read.
    static std::optional<QString> fileSizeString(const QString& path);
    static QString formatShutter(double seconds);
    static QString formatDuration(double seconds);
    // `code` holds the first character in its most significant byte.
    static QString fourCCString(quint32 code);
    // Display name from FFmpeg's codec name, for containers without a codec tag.
    static QString codecDisplayName(const QString& ffmpegName);
    // "yyyy年M月d日 HH:mm:ss" in the extractor's time zone.
    QString formatDate(const QDateTime& date) const;

    void fillPhotoMetadata(const PhotoProperties& properties, MediaMetadata& into) const;
    static void fillGPS(const PhotoProperties& properties, MediaMetadata& into);
    void fillVideoMetadata(const VideoProperties& properties, MediaMetadata& into) const;

private:
    std::shared_ptr<const MediaProbe> probe_;
    CaptureDates dates_;
};

} // namespace app
