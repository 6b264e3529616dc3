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
    // captureDate in milliseconds since 1970, worked out once when a scan publishes its items
    // (stampCaptureTimes), so sorting and clustering compare numbers instead of dates. Derived: not
    // part of the value's identity.
    std::optional<qint64> captureMs;

    const QString& id() const { return url; }
    bool hasLocation() const { return latitude.has_value() && longitude.has_value(); }
    std::optional<Coordinate> coordinate() const;
    bool supportsOrientationRotate() const;
    // captureMs, else worked out from captureDate now; the earliest time for an item without a date.
    qint64 captureTimeMs() const;

    // All eight fields, exact doubles: a rescanned item with a new date is a new value.
    friend bool operator==(const MediaItem& a, const MediaItem& b);
};

size_t qHash(const MediaItem& item, size_t seed = 0);

using MediaItems = QList<MediaItem>;

// Fills in every item's captureMs.
void stampCaptureTimes(MediaItems& items);

} // namespace app

Q_DECLARE_METATYPE(app::MediaItem)
