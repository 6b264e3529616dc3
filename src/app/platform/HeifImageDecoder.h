#pragma once

#include "app/platform/ImageDecoder.h"

namespace app {

// HEIC/HEIF through libheif. Uses the largest thumbnail item when it is at least the requested
// size (a few milliseconds instead of most of a second for a 12-megapixel primary image),
// otherwise decodes the primary image. libheif applies the irot/imir properties of either.
class HeifImageDecoder final : public ImageDecoder {
public:
    enum class Source { none, thumbnailItem, primaryImage };

    QImage decode(const MediaItem& item, int maxPixelSize) override;
    static QImage decodeFile(const QString& path, int maxPixelSize, Source* usedSource = nullptr);
};

} // namespace app
