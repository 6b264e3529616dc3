#pragma once

#include "app/models/MediaFormat.h"

#include <QDateTime>
#include <QHashFunctions>
#include <QList>
#include <QMetaType>
#include <QString>

#include <optional>

namespace app {

struct Coordinate {
    double latitude = 0;
    double longitude = 0;
    friend bool operator==(const Coordinate&, const Coordinate&) = default;
};

// One photo or video file. `url` is the absolute file path; for a live photo, the still.
struct MediaItem {
    using Kind = MediaKind;

    QString url;
    Kind kind = Kind::photo;
    bool isLivePhoto = false;
    std::optional<QString> liveVideoURL;
    QDateTime captureDate;
    std::optional<double> duration;
    std::optional<double> latitude;
    std::optional<double> longitude;

    const QString& id() const { return url; }
    bool hasLocation() const { return latitude.has_value() && longitude.has_value(); }
    std::optional<Coordinate> coordinate() const;
    bool supportsOrientationRotate() const;

    // All eight fields, exact doubles: a rescanned item with a new date is a new value.
    friend bool operator==(const MediaItem& a, const MediaItem& b);
};

size_t qHash(const MediaItem& item, size_t seed = 0);

using MediaItems = QList<MediaItem>;

} // namespace app

Q_DECLARE_METATYPE(app::MediaItem)
