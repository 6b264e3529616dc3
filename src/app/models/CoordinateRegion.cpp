#include "app/models/CoordinateRegion.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace app {

double wrapLongitude(double longitude)
{
    if (!std::isfinite(longitude))
        return longitude;
    double wrapped = std::fmod(longitude + 180.0, 360.0);
    if (wrapped < 0)
        wrapped += 360.0;
    return wrapped - 180.0;
}

bool CoordinateRegion::isValid() const
{
    return std::isfinite(center.latitude) && std::isfinite(center.longitude) && std::isfinite(latitudeDelta)
        && std::isfinite(longitudeDelta) && latitudeDelta > 0 && longitudeDelta > 0;
}

CoordinateRegion CoordinateRegion::clamped() const
{
    CoordinateRegion r = *this;
    r.center.latitude = std::clamp(center.latitude, -90.0, 90.0);
    r.center.longitude = wrapLongitude(center.longitude);
    r.latitudeDelta = std::min(latitudeDelta, maximumLatitudeDelta);
    r.longitudeDelta = std::min(longitudeDelta, maximumLongitudeDelta);
    return r;
}

std::optional<CoordinateRegion> CoordinateRegion::fitting(const QList<Coordinate>& coordinates,
                                                          double paddingFactor, double minimumDelta)
{
    if (coordinates.isEmpty())
        return std::nullopt;
    double minLat = coordinates.front().latitude;
    double maxLat = minLat;
    std::vector<double> longitudes;
    longitudes.reserve(size_t(coordinates.size()));
    for (const Coordinate& c : coordinates) {
        minLat = std::min(minLat, c.latitude);
        maxLat = std::max(maxLat, c.latitude);
        longitudes.push_back(wrapLongitude(c.longitude));
    }
    std::sort(longitudes.begin(), longitudes.end());

    // The arc that holds every longitude is the circle minus its widest empty gap. The gap across
    // ±180° (from the last longitude round to the first) wins ties, which keeps the usual west-to-east
    // box whenever it is as short as any other.
    double widestGap = longitudes.front() + 360.0 - longitudes.back();
    double west = longitudes.front();
    for (size_t i = 1; i < longitudes.size(); ++i) {
        const double gap = longitudes[i] - longitudes[i - 1];
        if (gap > widestGap) {
            widestGap = gap;
            west = longitudes[i];
        }
    }
    const double lonSpan = 360.0 - widestGap;

    CoordinateRegion region;
    region.center.latitude = (minLat + maxLat) * 0.5;
    region.center.longitude = wrapLongitude(west + lonSpan * 0.5);
    region.latitudeDelta = std::max((maxLat - minLat) * paddingFactor, minimumDelta);
    region.longitudeDelta = std::max(lonSpan * paddingFactor, minimumDelta);
    return region.clamped();
}

} // namespace app
