#include "app/platform/map/MapTileSources.h"

#include <QSettings>

namespace app {

namespace {
const QString standardDefault = "https://tile.openstreetmap.org/{z}/{x}/{y}.png";
// This server puts the row before the column.
const QString imageryDefault = "https://tiles.maps.eox.at/wmts/1.0.0/s2cloudless_3857/default/g/{z}/{y}/{x}.jpg";
const QString labelsDefault = "https://tiles.maps.eox.at/wmts/1.0.0/overlay_bright_3857/default/g/{z}/{y}/{x}.png";
constexpr int imageryMaximumZoom = 14;

const QString osmCredit = "© OpenStreetMap contributors";
const QString imageryCredit = "Sentinel-2 cloudless – https://s2maps.eu by EOX IT Services GmbH "
                              "(Contains modified Copernicus Sentinel data 2016)";
const QString labelsCredit = "Data © OpenStreetMap contributors, Rendering © EOX";
} // namespace

QUrl TileLayer::url(int z, int x, int y) const
{
    QString text = urlTemplate;
    text.replace("{z}", QString::number(z)).replace("{x}", QString::number(x)).replace("{y}", QString::number(y));
    return QUrl(text);
}

MapStyleSource MapStyleSource::forStyle(MapStyle style, const QSettings& settings)
{
    const TileLayer imagery{settings.value(imageryKey, imageryDefault).toString(), imageryMaximumZoom};
    MapStyleSource source;
    switch (style) {
    case MapStyle::standard:
        source.layers = {TileLayer{settings.value(standardKey, standardDefault).toString(), 19}};
        source.attribution = osmCredit;
        source.attributionLink = QUrl("https://www.openstreetmap.org/copyright");
        break;
    case MapStyle::imagery:
        source.layers = {imagery};
        source.attribution = imageryCredit;
        source.attributionLink = QUrl("https://s2maps.eu");
        break;
    case MapStyle::hybrid:
        source.layers = {imagery, TileLayer{settings.value(labelsKey, labelsDefault).toString(), imageryMaximumZoom}};
        source.attribution = imageryCredit + "; " + labelsCredit;
        source.attributionLink = QUrl("https://s2maps.eu");
        break;
    }
    return source;
}

} // namespace app
