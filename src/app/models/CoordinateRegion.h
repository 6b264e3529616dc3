#pragma once

#include "app/models/MediaItem.h"

#include <QList>

#include <optional>

namespace app {

// A map area: a centre and the spans across it, in degrees. The longitude span may cross ±180°.
struct CoordinateRegion {
    Coordinate center;
    double latitudeDelta = 0;
    double longitudeDelta = 0;

    friend bool operator==(const CoordinateRegion&, const CoordinateRegion&) = default;

    // Spans no map can show are cut to the whole globe: 180° of latitude, 360° of longitude.
    static constexpr double maximumLatitudeDelta = 180;
    static constexpr double maximumLongitudeDelta = 360;

    bool isValid() const;
    // The same region with its spans cut to the globe and its centre's longitude in [-180, 180).
    CoordinateRegion clamped() const;

    // The smallest region around the coordinates, spans times `paddingFactor`, each span at least
    // `minimumDelta`. Longitudes take the shorter way round: points at +179.9° and -179.9° span
    // 0.2°, not 359.8°. Nothing for no coordinates.
    static std::optional<CoordinateRegion> fitting(const QList<Coordinate>& coordinates, double paddingFactor,
                                                   double minimumDelta);
};

// A longitude in [-180, 180).
double wrapLongitude(double longitude);

} // namespace app
