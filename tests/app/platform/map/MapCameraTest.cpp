#include "app/platform/map/MapCamera.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace app;

namespace {
constexpr double notANumber = std::numeric_limits<double>::quiet_NaN();
}

// Framing regions: the zoom where both spans fit, the spans clamped to the globe, the centre wrapped,
// and nothing changed by a region that is not finite.
TEST(MapCamera, FramesRegions)
{
    struct Row {
        const char* name;
        QSizeF viewport;
        CoordinateRegion region;
        double zoom;
        Coordinate center;
        bool holdsRegion = false; // the fitted view shows the whole (clamped) region
    };
    const double zoomOf1dAt256 = std::log2(256 / (256.0 / 360.0)); // 1° of longitude filling 256 px
    const Row rows[] = {
        {"whole world in one tile", {256, 256}, {{0, 0}, 170.1022, 360}, 0, {0, 0}, true},
        {"wide viewport, longitude limits", {1024, 256}, {{0, 0}, 1, 90}, 4, {0, 0}, true},
        {"one degree square at the equator", {256, 256}, {{0, 0}, 1, 1}, zoomOf1dAt256, {0, 0}, true},
        {"spans past the globe clamp to it", {512, 512}, {{0, 0}, 500, 1000}, 1, {0, 0}, true},
        {"tiny span stops at the deepest zoom", {900, 640}, {{31.2, 121.4}, 1e-9, 1e-9}, 22, {31.2, 121.4}},
        {"centre east of 180 wraps", {256, 256}, {{0, 190}, 1, 1}, zoomOf1dAt256, {0, -170}},
        {"polar centre held in the projection", {256, 256}, {{89, 0}, 1, 1}, zoomOf1dAt256,
         {MapCamera::maximumLatitude, 0}},
        {"not finite leaves the camera", {256, 256}, {{notANumber, 0}, 1, 1}, 2, {0, 0}},
        {"zero span leaves the camera", {256, 256}, {{10, 10}, 0, 1}, 2, {0, 0}},
    };
    for (const Row& row : rows) {
        MapCamera camera;
        camera.setViewportSize(row.viewport);
        camera.setRegion(row.region);
        // Latitude spans fit through the projection, so compare those zooms loosely; longitude
        // spans are exact.
        EXPECT_NEAR(camera.zoom(), row.zoom, row.region.latitudeDelta <= 1 && row.zoom < 19 ? 0.01 : 1e-3)
            << row.name;
        EXPECT_NEAR(camera.center().latitude, row.center.latitude, 1e-9) << row.name;
        EXPECT_NEAR(camera.center().longitude, row.center.longitude, 1e-9) << row.name;
        const CoordinateRegion visible = camera.visibleRegion();
        EXPECT_LE(visible.longitudeDelta, 360.0) << row.name;
        if (row.holdsRegion) {
            // The fitted view holds the clamped region, and one span fills the viewport.
            const CoordinateRegion want = row.region.clamped();
            EXPECT_GE(visible.longitudeDelta, want.longitudeDelta - 1e-6) << row.name;
            EXPECT_GE(visible.latitudeDelta, std::min(want.latitudeDelta, 2 * MapCamera::maximumLatitude) - 1e-6)
                << row.name;
        }
    }
}

// Positions and coordinates convert both ways, across the antimeridian too; pans and zooms keep
// what they promise; a zoom press of 1.8× always changes the zoom by its own amount.
TEST(MapCamera, RoundTripsPansAndZooms)
{
    const Coordinate places[] = {{0, 0}, {31.2304, 121.4737}, {-33.8688, 151.2093}, {64.1466, -21.9426},
                                 {-85, -179.99}, {85, 179.99}};
    for (const double zoom : {0.0, 3.7, 12.0, 19.0})
        for (const Coordinate& place : places) {
            const Coordinate back = MapCamera::unproject(MapCamera::project(place, zoom), zoom);
            EXPECT_NEAR(back.latitude, place.latitude, 1e-9) << zoom;
            EXPECT_NEAR(back.longitude, place.longitude, 1e-9) << zoom;

            MapCamera camera;
            camera.setViewportSize({900, 640});
            camera.setZoom(zoom);
            camera.setCenter(place);
            const QPointF mid(450, 320);
            EXPECT_NEAR((camera.viewportPoint(place) - mid).manhattanLength(), 0, 1e-6);
            // Zoomed out, the corner lies off the world and has no coordinate to come back from.
            if (zoom < 12)
                continue;
            const Coordinate atCorner = camera.coordinateAt({10, 20});
            EXPECT_NEAR((camera.viewportPoint(atCorner) - QPointF(10, 20)).manhattanLength(), 0, 1e-5)
                << place.latitude << "," << place.longitude << " z" << zoom;
        }

    // Across ±180°: a point 0.2° east of a camera at 179.9° is right of the centre, not a world away.
    MapCamera camera;
    camera.setViewportSize({900, 640});
    camera.setZoom(10);
    camera.setCenter({0, 179.9});
    const double pxPerDegree = MapCamera::worldSize(10) / 360;
    EXPECT_NEAR(camera.viewportPoint({0, -179.9}).x(), 450 + 0.2 * pxPerDegree, 1e-6);

    // A drag moves the map with the pointer; the coordinate under a zoom's anchor stays put.
    camera.setCenter({30, 120});
    const Coordinate under = camera.coordinateAt({700, 100});
    camera.panBy({-250, 220});
    EXPECT_NEAR((camera.viewportPoint(under) - QPointF(450, 320)).manhattanLength(), 0, 1e-6);
    camera.zoomAround(1.3, {100, 500});
    const Coordinate anchored = camera.coordinateAt({100, 500});
    camera.zoomAround(-0.4, {100, 500});
    EXPECT_NEAR((camera.viewportPoint(anchored) - QPointF(100, 500)).manhattanLength(), 0, 1e-6);

    // The item map's zoom buttons scale the spans by 1.8: the fractional zoom moves by log2(1.8).
    camera.setRegion({{31.23, 121.47}, 0.04, 0.04});
    const double before = camera.zoom();
    camera.setRegion({{31.23, 121.47}, 0.04 * 1.8, 0.04 * 1.8});
    EXPECT_NEAR(before - camera.zoom(), std::log2(1.8), 1e-6);

    // Zoom holds in [0, 22].
    camera.setZoom(25);
    EXPECT_EQ(camera.zoom(), 22);
    camera.setZoom(-3);
    EXPECT_EQ(camera.zoom(), 0);
}
