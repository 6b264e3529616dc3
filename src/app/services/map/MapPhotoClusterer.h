#pragma once

#include "app/models/CoordinateRegion.h"
#include "app/models/MediaItem.h"

#include <QList>
#include <QSizeF>
#include <QString>

#include <iterator>
#include <optional>
#include <vector>

namespace app {

// The items of one cluster: positions in the clustered list, which the clusters share instead of
// copying their items.
class ClusterItems {
public:
    class const_iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = MediaItem;
        using difference_type = std::ptrdiff_t;
        using pointer = const MediaItem*;
        using reference = const MediaItem&;
        const_iterator() = default;
        const_iterator(const MediaItems* source, const qsizetype* at) : source_(source), at_(at) {}
        const MediaItem& operator*() const { return (*source_)[*at_]; }
        const MediaItem* operator->() const { return &**this; }
        const_iterator& operator++()
        {
            ++at_;
            return *this;
        }
        const_iterator operator++(int)
        {
            const_iterator before = *this;
            ++at_;
            return before;
        }
        friend bool operator==(const const_iterator& a, const const_iterator& b) { return a.at_ == b.at_; }

    private:
        const MediaItems* source_ = nullptr;
        const qsizetype* at_ = nullptr;
    };

    ClusterItems() = default;
    ClusterItems(MediaItems source, QList<qsizetype> indices) : source_(std::move(source)), indices_(std::move(indices)) {}

    qsizetype size() const { return indices_.size(); }
    bool isEmpty() const { return indices_.isEmpty(); }
    const MediaItem& operator[](qsizetype i) const { return source_[indices_[i]]; }
    const MediaItem& front() const { return (*this)[0]; }
    // Positions in the list that was clustered.
    const QList<qsizetype>& indices() const { return indices_; }
    const_iterator begin() const { return {&source_, indices_.constData()}; }
    const_iterator end() const { return {&source_, indices_.constData() + indices_.size()}; }
    const_iterator cbegin() const { return begin(); }
    const_iterator cend() const { return end(); }
    MediaItems toList() const;

private:
    MediaItems source_;
    QList<qsizetype> indices_;
};

// The located items of one cell of the map's grid, shown as one pin.
struct MapPhotoCluster {
    // The cell: "<longitude index>_<latitude index>", unique within one clustering.
    QString id;
    // The mean of the items' coordinates.
    Coordinate coordinate;
    // Newest first.
    ClusterItems items;

    // A cluster is its cell.
    friend bool operator==(const MapPhotoCluster& a, const MapPhotoCluster& b) { return a.id == b.id; }
};

// Grid clustering of located items for a map view, and the region that frames a set of items.
// Pure functions.
namespace MapPhotoClusterer {

// What clustering reads of each located item, in the items' order: made once per list and kept
// beside it, so that each camera move walks 32 bytes an item instead of whole items.
struct Point {
    qsizetype index; // in the list
    double latitude;
    double longitude;
    qint64 capturedAt; // captureTimeMs()
};
using Points = std::vector<Point>;
Points points(const MediaItems& items);

// Items within the region and 15 % of its span beyond each edge, grouped by cells of
// `cellPixelSize` points on a map of `mapSize` points. The grid is anchored at (0, 0). Longitudes
// count from the region's centre the short way round, so a view across ±180° keeps the items on
// its far side. The order of the clusters means nothing. Items are compared by captureTimeMs(), so a
// list stamped when its scan was published costs no date arithmetic here.
QList<MapPhotoCluster> cluster(const MediaItems& items, const CoordinateRegion& region, const QSizeF& mapSize,
                               double cellPixelSize);
// The same, from `items`' points.
QList<MapPhotoCluster> cluster(const MediaItems& items, const Points& points, const CoordinateRegion& region,
                               const QSizeF& mapSize, double cellPixelSize);

// The located items' bounding region, spans times the padding and at least 0.012°; across ±180°
// the shorter way. Nothing when no item is located.
std::optional<CoordinateRegion> region(const MediaItems& items, double paddingFactor);
std::optional<CoordinateRegion> region(const ClusterItems& items, double paddingFactor);

} // namespace MapPhotoClusterer

} // namespace app
