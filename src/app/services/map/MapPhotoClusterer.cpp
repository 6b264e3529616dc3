#include "app/services/map/MapPhotoClusterer.h"

#include <QtGlobal>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <unordered_map>
#include <vector>

namespace app {

MediaItems ClusterItems::toList() const
{
    MediaItems list;
    list.reserve(size());
    for (const MediaItem& item : *this)
        list.append(item);
    return list;
}

} // namespace app

namespace app::MapPhotoClusterer {

namespace {

constexpr double smallestCell = 1e-7;

struct CellKey {
    std::int64_t longitude;
    std::int64_t latitude;
    bool operator==(const CellKey&) const = default;
};

struct CellKeyHash {
    size_t operator()(const CellKey& key) const noexcept
    {
        return std::hash<std::int64_t>()(key.longitude * 1000003 ^ key.latitude);
    }
};

struct Member {
    qsizetype index;
    double latitude;
    double longitude; // counted from the centre's side of ±180°
    qint64 capturedAt;
};

// A cell index of a finite coordinate; held inside int64 (cells of 1e-7° reach about 3.6e9).
std::int64_t cellIndex(double value, double cell)
{
    const double index = std::floor(value / cell);
    return std::int64_t(std::clamp(index, -9.0e18, 9.0e18));
}

// Finds a cell's slot. The cells within reach of a view form a grid of about 1.3 times the map's
// size in cells each way, so a plain array holds their slots; a hash map takes any cell outside it
// (a grid too large for an array, from cells far smaller than a pin).
class CellSlots {
public:
    static constexpr size_t none = std::numeric_limits<size_t>::max();

    CellSlots(CellKey low, CellKey high)
    {
        constexpr std::int64_t largestGrid = 1 << 16;
        const std::int64_t columns = high.longitude - low.longitude + 1;
        const std::int64_t rows = high.latitude - low.latitude + 1;
        if (columns > 0 && rows > 0 && columns <= largestGrid && rows <= largestGrid && columns * rows <= largestGrid) {
            low_ = low;
            columns_ = columns;
            rows_ = rows;
            grid_.assign(size_t(columns * rows), none);
        }
    }

    // The slot of `key`, `next` when it had none.
    std::pair<size_t, bool> find(const CellKey& key, size_t next)
    {
        const std::int64_t column = key.longitude - low_.longitude;
        const std::int64_t row = key.latitude - low_.latitude;
        if (column >= 0 && column < columns_ && row >= 0 && row < rows_) {
            size_t& slot = grid_[size_t(column * rows_ + row)];
            const bool inserted = slot == none;
            if (inserted)
                slot = next;
            return {slot, inserted};
        }
        const auto [found, inserted] = others_.try_emplace(key, next);
        return {found->second, inserted};
    }

private:
    CellKey low_{0, 0};
    std::int64_t columns_ = 0;
    std::int64_t rows_ = 0;
    std::vector<size_t> grid_;
    std::unordered_map<CellKey, size_t, CellKeyHash> others_;
};

} // namespace

Points points(const MediaItems& items)
{
    Points out;
    out.reserve(size_t(items.size()));
    for (qsizetype i = 0; i < items.size(); ++i) {
        const MediaItem& item = items[i];
        if (item.latitude && item.longitude) {
            Q_ASSERT(std::isfinite(*item.latitude) && std::isfinite(*item.longitude));
            out.push_back({i, *item.latitude, *item.longitude, item.captureTimeMs()});
        }
    }
    return out;
}

QList<MapPhotoCluster> cluster(const MediaItems& items, const CoordinateRegion& region, const QSizeF& mapSize,
                               double cellPixelSize)
{
    return cluster(items, points(items), region, mapSize, cellPixelSize);
}

QList<MapPhotoCluster> cluster(const MediaItems& items, const Points& points, const CoordinateRegion& region,
                               const QSizeF& mapSize, double cellPixelSize)
{
    if (items.isEmpty() || !(mapSize.width() > 1) || !(mapSize.height() > 1) || !(region.latitudeDelta > 0)
        || !(region.longitudeDelta > 0))
        return {};
    const double latitudeCell = std::max(cellPixelSize / mapSize.height() * region.latitudeDelta, smallestCell);
    const double longitudeCell = std::max(cellPixelSize / mapSize.width() * region.longitudeDelta, smallestCell);
    const double latitudeReach = 0.5 * region.latitudeDelta + 0.15 * region.latitudeDelta;
    const double longitudeReach = 0.5 * region.longitudeDelta + 0.15 * region.longitudeDelta;
    const double centreLongitude = wrapLongitude(region.center.longitude);

    // Cells in the order first seen, found through their keys.
    CellSlots slots({cellIndex(centreLongitude - longitudeReach, longitudeCell),
                     cellIndex(region.center.latitude - latitudeReach, latitudeCell)},
                    {cellIndex(centreLongitude + longitudeReach, longitudeCell),
                     cellIndex(region.center.latitude + latitudeReach, latitudeCell)});
    std::vector<CellKey> keys;
    std::vector<std::vector<Member>> cells;
    size_t lastSlot = 0;
    for (const Point& point : points) {
        const double latitude = point.latitude;
        if (latitude < region.center.latitude - latitudeReach || latitude > region.center.latitude + latitudeReach)
            continue;
        // Both lie in [-180, 180]: one turn at most brings the difference into [-180, 180).
        double offset = point.longitude - centreLongitude;
        if (offset < -180)
            offset += 360;
        else if (offset >= 180)
            offset -= 360;
        if (offset < -longitudeReach || offset > longitudeReach)
            continue;
        const double longitude = centreLongitude + offset;
        const CellKey key{cellIndex(longitude, longitudeCell), cellIndex(latitude, latitudeCell)};
        // Photos taken one after another mostly share a cell: skip the look-up then.
        if (keys.empty() || !(key == keys[lastSlot])) {
            const auto [slot, inserted] = slots.find(key, cells.size());
            if (inserted) {
                keys.push_back(key);
                cells.emplace_back();
            }
            lastSlot = slot;
        }
        cells[lastSlot].push_back({point.index, latitude, longitude, point.capturedAt});
    }

    QList<MapPhotoCluster> clusters;
    clusters.reserve(qsizetype(cells.size()));
    for (size_t slot = 0; slot < cells.size(); ++slot) {
        const CellKey& key = keys[slot];
        std::vector<Member>& members = cells[slot];
        double latitudeSum = 0;
        double longitudeSum = 0;
        for (const Member& member : members) {
            latitudeSum += member.latitude;
            longitudeSum += member.longitude;
        }
        // Newest first; equal dates keep the walking order, which is the order of the indices. A
        // scan publishes its items newest first, so most cells are in order already.
        const auto newer = [](const Member& a, const Member& b) {
            return a.capturedAt != b.capturedAt ? a.capturedAt > b.capturedAt : a.index < b.index;
        };
        const auto notOlder = [](const Member& a, const Member& b) { return a.capturedAt >= b.capturedAt; };
        if (std::is_sorted(members.begin(), members.end(), newer)) {
        } else if (std::adjacent_find(members.begin(), members.end(), notOlder) == members.end()) {
            std::reverse(members.begin(), members.end()); // oldest first, no two alike
        } else {
            std::sort(members.begin(), members.end(), newer);
        }
        MapPhotoCluster cluster;
        cluster.id = QString::number(key.longitude) + u'_' + QString::number(key.latitude);
        const double count = double(members.size());
        cluster.coordinate = {latitudeSum / count, wrapLongitude(longitudeSum / count)};
        QList<qsizetype> indices;
        indices.reserve(qsizetype(members.size()));
        for (const Member& member : members)
            indices.append(member.index);
        cluster.items = ClusterItems(items, std::move(indices));
        clusters.append(std::move(cluster));
    }
    return clusters;
}

namespace {
template <typename Items>
std::optional<CoordinateRegion> fittingRegion(const Items& items, double paddingFactor)
{
    QList<Coordinate> coordinates;
    coordinates.reserve(items.size());
    for (const MediaItem& item : items)
        if (const std::optional<Coordinate> c = item.coordinate())
            coordinates.append(*c);
    return CoordinateRegion::fitting(coordinates, paddingFactor, 0.012);
}
} // namespace

std::optional<CoordinateRegion> region(const MediaItems& items, double paddingFactor)
{
    return fittingRegion(items, paddingFactor);
}

std::optional<CoordinateRegion> region(const ClusterItems& items, double paddingFactor)
{
    return fittingRegion(items, paddingFactor);
}

} // namespace app::MapPhotoClusterer
