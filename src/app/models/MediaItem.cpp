#include "app/models/MediaItem.h"

#include <limits>

namespace app {

std::optional<Coordinate> MediaItem::coordinate() const
{
    if (!hasLocation())
        return std::nullopt;
    return Coordinate{*latitude, *longitude};
}

bool MediaItem::supportsOrientationRotate() const
{
    return kind == Kind::photo && !isLivePhoto
        && MediaFormat::orientationRotatableExtensions().contains(MediaFormat::pathExtension(url));
}

qint64 MediaItem::captureTimeMs() const
{
    if (captureMs)
        return *captureMs;
    // isNull(), not isValid(): the latter checks the time zone again.
    return captureDate.isNull() ? std::numeric_limits<qint64>::min() : captureDate.toMSecsSinceEpoch();
}

void stampCaptureTimes(MediaItems& items)
{
    for (MediaItem& item : items) {
        item.captureMs.reset();
        item.captureMs = item.captureTimeMs();
    }
}

bool operator==(const MediaItem& a, const MediaItem& b)
{
    return a.url == b.url && a.kind == b.kind && a.isLivePhoto == b.isLivePhoto
        && a.liveVideoURL == b.liveVideoURL && a.captureDate == b.captureDate
        && a.duration == b.duration && a.latitude == b.latitude && a.longitude == b.longitude;
}

namespace {
size_t hashOptional(const std::optional<double>& v, size_t seed)
{
    return v ? qHashMulti(seed, true, *v) : ::qHash(false, seed);
}
} // namespace

size_t qHash(const MediaItem& item, size_t seed)
{
    size_t h = qHashMulti(seed, item.url, static_cast<int>(item.kind), item.isLivePhoto,
                          item.liveVideoURL.value_or(QString()), item.liveVideoURL.has_value(),
                          item.captureDate.toMSecsSinceEpoch());
    h = hashOptional(item.duration, h);
    h = hashOptional(item.latitude, h);
    return hashOptional(item.longitude, h);
}

} // namespace app
