#pragma once

#include "app/platform/decoding/ImageDecoder.h"
#include "app/services/map/PlaceNameResolver.h"
#include "app/services/thumbnails/ThumbnailProvider.h"
#include "app/views/map/SlippyMapWidget.h"

#include "support/app/LoopbackTileServer.h"

#include <QSettings>
#include <QTemporaryDir>

#include <memory>

namespace app::testing {

// Thumbnails in one warm colour per file, made at once.
class SolidThumbnailDecoder final : public ImageDecoder {
public:
    QImage decode(const MediaItem& item, int maxPixelSize) override
    {
        QImage image(maxPixelSize, maxPixelSize * 3 / 4, QImage::Format_RGB32);
        image.fill(QColor::fromHsv(int(qHash(item.url) % 60) + 10, 170, 230));
        return image;
    }
};

// A place source that answers with a fixed name, or nothing.
class FixedPlaceSource final : public PlaceSource {
public:
    explicit FixedPlaceSource(std::optional<QString> name) : name_(std::move(name)) {}
    void resolve(const Coordinate&, Done done) override { done(name_); }

private:
    std::optional<QString> name_;
};

// Tiles from a loopback server into a temporary cache, thumbnails and place names from fakes.
struct MapServicesHarness {
    explicit MapServicesHarness(std::optional<QString> placeName = QString("中国 · 上海市"))
        : thumbnails(std::make_unique<SolidThumbnailDecoder>())
    {
        for (const char* key : {MapStyleSource::standardKey, MapStyleSource::imageryKey, MapStyleSource::labelsKey})
            settings.setValue(key, tiles.urlTemplate());
        std::vector<std::unique_ptr<PlaceSource>> sources;
        sources.push_back(std::make_unique<FixedPlaceSource>(std::move(placeName)));
        placeNames = std::make_unique<PlaceNameResolver>(std::move(sources));
    }

    SlippyMapWidget::Environment mapEnvironment()
    {
        SlippyMapWidget::Environment environment;
        environment.settings = &settings;
        environment.loader.cacheDirectory = dir.filePath("tiles");
        return environment;
    }

    LoopbackTileServer tiles;
    QTemporaryDir dir;
    QSettings settings{dir.filePath("settings.ini"), QSettings::IniFormat};
    ThumbnailProvider thumbnails;
    std::unique_ptr<PlaceNameResolver> placeNames;
};

} // namespace app::testing
