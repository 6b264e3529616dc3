#pragma once

#include "app/models/CoordinateRegion.h"

#include <QPointF>
#include <QSizeF>

namespace app {

// The view onto a web-Mercator map: a centre, a fractional zoom and the viewport's size in pixels.
// At zoom z the world is 256·2^z pixels wide. Pure arithmetic, no widgets.
class MapCamera {
public:
    static constexpr double tileSize = 256;
    static constexpr double maximumLatitude = 85.05112877980659;
    static constexpr double minimumZoom = 0;
    // Past the deepest tiles (zoom 19) the map enlarges them, down to a few metres across.
    static constexpr double maximumZoom = 22;

    MapCamera() = default;

    Coordinate center() const { return center_; }
    double zoom() const { return zoom_; }
    QSizeF viewportSize() const { return viewport_; }

    // Latitude is held inside the projection's range, longitude wrapped to [-180, 180); a value
    // that is not finite leaves the camera as it was.
    void setCenter(const Coordinate& center);
    void setZoom(double zoom);
    void setViewportSize(const QSizeF& size);

    // Frames the region: its centre, at the deepest zoom where both spans fit the viewport.
    void setRegion(const CoordinateRegion& region);
    // What the viewport shows now; the longitude span is at most 360°.
    CoordinateRegion visibleRegion() const;

    static double worldSize(double zoom);
    // Position on the world at `zoom`, x from the antimeridian eastwards, y from the north edge.
    static QPointF project(const Coordinate& coordinate, double zoom);
    static Coordinate unproject(const QPointF& world, double zoom);

    // Viewport position of a coordinate, taking the copy of the world nearest the centre.
    QPointF viewportPoint(const Coordinate& coordinate) const;
    Coordinate coordinateAt(const QPointF& viewportPoint) const;
    // The world position, at the current zoom, of the viewport's top-left corner.
    QPointF topLeftWorld() const;

    // Moves the map with the pointer: a drag by `delta` pixels.
    void panBy(const QPointF& delta);
    // Zooms by `levels` keeping the coordinate under `anchor` where it is.
    void zoomAround(double levels, const QPointF& anchor);

private:
    Coordinate center_{0, 0};
    double zoom_ = 2;
    QSizeF viewport_{256, 256};
};

} // namespace app
