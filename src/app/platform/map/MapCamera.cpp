#include "app/platform/map/MapCamera.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace app {

namespace {
constexpr double pi = std::numbers::pi;

double clampLatitude(double latitude)
{
    return std::clamp(latitude, -MapCamera::maximumLatitude, MapCamera::maximumLatitude);
}

// Mercator y of a latitude on a world of size 1, 0 at the north edge.
double mercatorY(double latitude)
{
    const double phi = clampLatitude(latitude) * pi / 180.0;
    return 0.5 - std::log(std::tan(pi / 4 + phi / 2)) / (2 * pi);
}
} // namespace

double MapCamera::worldSize(double zoom)
{
    return tileSize * std::exp2(zoom);
}

QPointF MapCamera::project(const Coordinate& coordinate, double zoom)
{
    const double size = worldSize(zoom);
    return {(coordinate.longitude + 180.0) / 360.0 * size, mercatorY(coordinate.latitude) * size};
}

Coordinate MapCamera::unproject(const QPointF& world, double zoom)
{
    const double size = worldSize(zoom);
    const double y = std::clamp(world.y() / size, 0.0, 1.0);
    const double latitude = (2 * std::atan(std::exp((0.5 - y) * 2 * pi)) - pi / 2) * 180.0 / pi;
    return {clampLatitude(latitude), wrapLongitude(world.x() / size * 360.0 - 180.0)};
}

void MapCamera::setCenter(const Coordinate& center)
{
    if (!std::isfinite(center.latitude) || !std::isfinite(center.longitude))
        return;
    center_ = {clampLatitude(center.latitude), wrapLongitude(center.longitude)};
}

void MapCamera::setZoom(double zoom)
{
    if (std::isfinite(zoom))
        zoom_ = std::clamp(zoom, minimumZoom, maximumZoom);
}

void MapCamera::setViewportSize(const QSizeF& size)
{
    viewport_ = QSizeF(std::max(1.0, size.width()), std::max(1.0, size.height()));
}

void MapCamera::setRegion(const CoordinateRegion& input)
{
    if (!input.isValid())
        return;
    const CoordinateRegion region = input.clamped();
    // Fit both spans at zoom 0, then scale up by however many doublings the viewport allows.
    const double north = clampLatitude(region.center.latitude + region.latitudeDelta / 2);
    const double south = clampLatitude(region.center.latitude - region.latitudeDelta / 2);
    const double height0 = std::max((mercatorY(south) - mercatorY(north)) * tileSize, 1e-12);
    const double width0 = std::max(region.longitudeDelta / 360.0 * tileSize, 1e-12);
    const double fit = std::min(std::log2(viewport_.height() / height0), std::log2(viewport_.width() / width0));
    setCenter(region.center);
    setZoom(fit);
}

CoordinateRegion MapCamera::visibleRegion() const
{
    const QPointF origin = topLeftWorld();
    const Coordinate north = unproject(origin, zoom_);
    const Coordinate south = unproject(origin + QPointF(0, viewport_.height()), zoom_);
    CoordinateRegion region;
    region.center = center_;
    region.latitudeDelta = north.latitude - south.latitude;
    region.longitudeDelta = std::min(viewport_.width() / worldSize(zoom_) * 360.0, 360.0);
    return region;
}

QPointF MapCamera::topLeftWorld() const
{
    return project(center_, zoom_) - QPointF(viewport_.width() / 2, viewport_.height() / 2);
}

QPointF MapCamera::viewportPoint(const Coordinate& coordinate) const
{
    const double size = worldSize(zoom_);
    QPointF p = project(coordinate, zoom_) - project(center_, zoom_);
    // The nearest copy of the world: at most half a world east or west of the centre.
    p.setX(p.x() - std::round(p.x() / size) * size);
    return p + QPointF(viewport_.width() / 2, viewport_.height() / 2);
}

Coordinate MapCamera::coordinateAt(const QPointF& viewportPoint) const
{
    return unproject(topLeftWorld() + viewportPoint, zoom_);
}

void MapCamera::panBy(const QPointF& delta)
{
    const QPointF centre = project(center_, zoom_) - delta;
    const Coordinate moved = unproject(centre, zoom_);
    setCenter(moved);
}

void MapCamera::zoomAround(double levels, const QPointF& anchor)
{
    const Coordinate fixed = coordinateAt(anchor);
    setZoom(zoom_ + levels);
    // Put the anchored coordinate back under the pointer.
    const QPointF drift = viewportPoint(fixed) - anchor;
    panBy(-drift);
}

} // namespace app
