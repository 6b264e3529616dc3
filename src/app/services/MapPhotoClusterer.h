#pragma once

#include "app/models/CoordinateRegion.h"
#include "app/models/MediaItem.h"

#include <QList>
#include <QSizeF>
#include <QString>

#include <optional>

namespace app {

// The located items of one cell of the map's grid, shown as one pin.
struct MapPhotoCluster {
    // The cell: "<longitude index>_<latitude index>", unique within one clustering.
    QString id;
    // The mean of the items' coordinates.
    Coordinate coordinate;
    // Newest first.
    MediaItems items;

    // A cluster is its cell.
    friend bool operator==(const MapPhotoCluster& a, const MapPhotoCluster& b) { return a.id == b.id; }
};

// Grid clustering of located items for a map view, and the region that frames a set of items.
// Pure functions.
namespace MapPhotoClusterer {

// Items within the region and 15 % of its span beyond each edge, grouped by cells of
// `cellPixelSize` points on a map of `mapSize` points. The grid is anchored at (0, 0). Longitudes
// count from the region's centre the short way round, so a view across ±180° keeps the items on
// its far side. The order of the clusters means nothing.
QList<MapPhotoCluster> cluster(const MediaItems& items, const CoordinateRegion& region, const QSizeF& mapSize,
                               double cellPixelSize);

// The located items' bounding region, spans times the padding and at least 0.012°; across ±180°
// the shorter way. Nothing when no item is located.
std::optional<CoordinateRegion> region(const MediaItems& items, double paddingFactor);

} // namespace MapPhotoClusterer

} // namespace app
