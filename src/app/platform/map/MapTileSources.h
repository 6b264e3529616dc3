#pragma once

#include <QList>
#include <QString>
#include <QUrl>

class QSettings;

namespace app {

enum class MapStyle { standard, imagery, hybrid };

// One raster layer: a URL template with {z}, {x} and {y}, and the deepest zoom it serves (deeper
// views enlarge its deepest tiles).
struct TileLayer {
    QString urlTemplate;
    int maximumZoom = 19;

    QUrl url(int z, int x, int y) const;
};

// What one map style draws, bottom layer first, and the credit its providers ask for.
struct MapStyleSource {
    QList<TileLayer> layers;
    QString attribution;
    QUrl attributionLink;

    // The templates are settings, so a provider can change without a release; the defaults are
    // the providers' public tile servers.
    static MapStyleSource forStyle(MapStyle style, const QSettings& settings);

    static constexpr const char* standardKey = "map/standardTileURL";
    static constexpr const char* imageryKey = "map/imageryTileURL";
    static constexpr const char* labelsKey = "map/labelsTileURL";
};

} // namespace app
