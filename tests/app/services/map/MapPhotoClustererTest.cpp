#include "app/services/map/MapPhotoClusterer.h"

#include <gtest/gtest.h>

#include <QTimeZone>

#include <algorithm>

using namespace app;

namespace {

struct Spot {
    const char* name;
    double latitude;
    double longitude;
    int year = 2024;
};

MediaItems itemsAt(std::initializer_list<Spot> spots)
{
    MediaItems items;
    for (const Spot& spot : spots) {
        MediaItem item;
        item.url = QString("/lib/") + spot.name;
        item.latitude = spot.latitude;
        item.longitude = spot.longitude;
        item.captureDate = QDateTime(QDate(spot.year, 6, 1), QTime(12, 0), QTimeZone::utc());
        items.append(item);
    }
    return items;
}

// "id:name,name,…" per cluster, sorted: the clusters' order carries no meaning.
QStringList describe(const QList<MapPhotoCluster>& clusters)
{
    QStringList lines;
    for (const MapPhotoCluster& cluster : clusters) {
        QStringList names;
        for (const MediaItem& item : cluster.items)
            names.append(item.url.section('/', -1));
        lines.append(cluster.id + ':' + names.join(','));
    }
    lines.sort();
    return lines;
}

} // namespace

TEST(MapPhotoClusterer, ClustersByGridCell)
{
    struct Row {
        const char* name;
        MediaItems items;
        CoordinateRegion region;
        QSizeF mapSize;
        QStringList expected;
        std::optional<Coordinate> firstCentre = std::nullopt;
    };
    const CoordinateRegion tenDegrees{{30, 100}, 10, 10};
    const Row rows[] = {
        {"no items", {}, tenDegrees, {600, 600}, {}},
        {"map one point wide", itemsAt({{"a", 30, 100}}), tenDegrees, {1, 600}, {}},
        {"zero span", itemsAt({{"a", 30, 100}}), {{30, 100}, 0, 10}, {600, 600}, {}},
        {"1.2-degree cells: 35.9 is row 29", itemsAt({{"a", 35.9, 100}}), tenDegrees, {600, 600}, {"83_29:a"}},
        {"a margin of 15 %: 0.64 spans north in, 0.66 out",
         itemsAt({{"in", 36.4, 100}, {"out", 36.6, 100}, {"south", 23.6, 100}, {"farSouth", 23.4, 100}}), tenDegrees,
         {600, 600}, {"83_19:south", "83_30:in"}},
        {"the same margin east and west",
         itemsAt({{"east", 30.5, 106.4}, {"farEast", 30.5, 106.6}, {"west", 30.5, 93.7}, {"farWest", 30.5, 93.4}}),
         tenDegrees, {600, 600}, {"78_25:west", "88_25:east"}},
        {"floor, not truncation; one coordinate alone is no location",
         [] {
             MediaItems items = itemsAt({{"w", 0, -0.5}, {"e", 0, 0.5}, {"unlocated", 0, 0}});
             items[2].longitude.reset();
             return items;
         }(),
         {{0, 0}, 10, 10}, {720, 720}, {"-1_0:w", "0_0:e"}},
        {"newest first, identical coordinates share the cell and the centre",
         itemsAt({{"y2021", 31.25, 121.45, 2021}, {"y2023", 31.25, 121.45, 2023}, {"y2022", 31.25, 121.45, 2022}}),
         {{31, 121}, 1, 1}, {600, 600}, {"1012_260:y2023,y2022,y2021"}, Coordinate{31.25, 121.45}},
        {"equal dates keep the walking order, also in a cell too large to sort by insertion",
         [] {
             MediaItems items;
             for (int i = 0; i < 40; ++i)
                 items += itemsAt({{"", 31.25, 121.45, i % 5 == 4 ? 2023 : 2022}}).constFirst();
             for (int i = 0; i < 40; ++i)
                 items[i].url = QString("/lib/%1").arg(i);
             return items;
         }(),
         {{31, 121}, 1, 1}, {600, 600}, [] {
             QStringList newer, older;
             for (int i = 0; i < 40; ++i)
                 (i % 5 == 4 ? newer : older).append(QString::number(i));
             return QStringList{"1012_260:" + (newer + older).join(',')};
         }()},
        {"oldest first but two alike: those two keep the walking order",
         itemsAt({{"y2021", 31.25, 121.45, 2021}, {"y2022a", 31.25, 121.45, 2022}, {"y2022b", 31.25, 121.45, 2022}}),
         {{31, 121}, 1, 1}, {600, 600}, {"1012_260:y2022a,y2022b,y2021"}},
        {"photos taken by turns at home and at work stay with their own place",
         itemsAt({{"home1", 30.5, 100.5}, {"work1", 33.5, 104.5}, {"home2", 30.5, 100.5}, {"work2", 33.5, 104.5},
                  {"home3", 30.5, 100.5}}),
         tenDegrees, {600, 600}, {"83_25:home1,home2,home3", "87_27:work1,work2"}},
        {"a wide map: cells of 0.6 by 1.2 degrees, each its own",
         itemsAt({{"a", 24.5, 93.55}, {"b", 23.7, 100.5}}), tenDegrees, {1200, 600}, {"155_20:a", "167_19:b"}},
        {"cells far smaller than a pin, too many to hold in an array",
         itemsAt({{"a", 30, 100}, {"b", 30, 100.0001}, {"c", 30, 100.0001}}), tenDegrees, {1e9, 1e9},
         {"138888888_41666666:a", "138889027_41666666:b,c"}},
        {"a view across 180 keeps both sides",
         itemsAt({{"east", 0, 179.9}, {"west", 0, -179.9}, {"far", 0, 0}}), {{0, 179.95}, 1, 1}, {600, 600},
         {"1499_0:east", "1500_0:west"}},
        {"one cell across 180 has its centre on 180",
         itemsAt({{"east", 0.5, 179.9}, {"west", 0.5, -179.9}}), {{0, 179.5}, 10, 10}, {110, 100},
         {"27_0:east,west"}, Coordinate{0.5, -180}},
    };
    for (const Row& row : rows) {
        // As built by hand, and as a scan publishes them, with their capture times worked out.
        MediaItems stamped = row.items;
        stampCaptureTimes(stamped);
        for (const MediaItems& items : {row.items, stamped}) {
            const QList<MapPhotoCluster> clusters = MapPhotoClusterer::cluster(items, row.region, row.mapSize, 72);
            EXPECT_EQ(describe(clusters), row.expected) << row.name;
            if (row.firstCentre && !clusters.isEmpty()) {
                EXPECT_NEAR(clusters[0].coordinate.latitude, row.firstCentre->latitude, 1e-9) << row.name;
                EXPECT_NEAR(clusters[0].coordinate.longitude, row.firstCentre->longitude, 1e-9) << row.name;
            }
        }
    }
}

TEST(MapPhotoClusterer, FitsRegions)
{
    struct Row {
        const char* name;
        MediaItems items;
        double padding;
        std::optional<CoordinateRegion> expected;
    };
    MediaItems halfLocated = itemsAt({{"a", 10, 10}});
    halfLocated[0].latitude.reset();
    const Row rows[] = {
        {"nothing located", halfLocated, 1.35, std::nullopt},
        {"one item", itemsAt({{"a", 35, 105}}), 1.35, CoordinateRegion{{35, 105}, 0.012, 0.012}},
        {"one spot", itemsAt({{"a", 35, 105}, {"b", 35, 105}}), 1.8, CoordinateRegion{{35, 105}, 0.012, 0.012}},
        {"two items", itemsAt({{"a", 30, 100}, {"b", 40, 120}}), 1.35, CoordinateRegion{{35, 110}, 13.5, 27}},
        {"across 180 the short way", itemsAt({{"a", 0, 179.9}, {"b", 0, -179.9}}), 1,
         CoordinateRegion{{0, -180}, 0.012, 0.2}},
        {"the widest gap is left out; latitude clamps to the globe", itemsAt({{"a", -80, -170}, {"b", 80, 0}, {"c", 0, 170}}), 1.35,
         CoordinateRegion{{0, 95}, 180, 190 * 1.35}},
    };
    for (const Row& row : rows) {
        const std::optional<CoordinateRegion> region = MapPhotoClusterer::region(row.items, row.padding);
        ASSERT_EQ(region.has_value(), row.expected.has_value()) << row.name;
        if (!region)
            continue;
        EXPECT_NEAR(region->center.latitude, row.expected->center.latitude, 1e-9) << row.name;
        EXPECT_NEAR(region->center.longitude, row.expected->center.longitude, 1e-9) << row.name;
        EXPECT_NEAR(region->latitudeDelta, row.expected->latitudeDelta, 1e-9) << row.name;
        EXPECT_NEAR(region->longitudeDelta, row.expected->longitudeDelta, 1e-9) << row.name;
    }
}
