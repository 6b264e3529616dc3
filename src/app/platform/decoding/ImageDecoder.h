#pragma once

#include "app/models/MediaItem.h"

#include <QImage>
#include <QSize>

#include <memory>

namespace app {

// Turns a media file into an upright image whose longer side is at most `maxPixelSize`.
// Implementations are called from several worker threads at once and must not share
// mutable state between calls. Every failure gives a null image; nothing throws.
class ImageDecoder {
public:
    virtual ~ImageDecoder() = default;
    virtual QImage decode(const MediaItem& item, int maxPixelSize) = 0;
};

namespace ImageScaling {
// The size that fits `source` into a square of `maxPixelSize` keeping its aspect; never larger
// than `source`, never empty for a non-empty source.
QSize fittedSize(QSize source, int maxPixelSize);
// `image` scaled down to fit, smoothly; an image that already fits comes back as it is.
QImage fitted(const QImage& image, int maxPixelSize);
// Applies an Exif orientation value (1..8) to an image; other values leave it as it is.
QImage applyExifOrientation(const QImage& image, int orientation);
// The size of a `source`-sized picture once Exif orientation `orientation` has turned it.
QSize orientedSize(QSize source, int orientation);
// Copies the first `rowCount` 32-bit rows of `rows`, rows [firstRow, firstRow + rowCount) of a picture of `sourceSize` to where
// Exif orientation `orientation` puts them in `upright` (of orientedSize): a picture turned a band
// at a time while it is decoded, with no second whole copy of it.
void placeOrientedRows(const QImage& rows, int rowCount, int firstRow, QSize sourceSize, int orientation,
                       QImage& upright);
} // namespace ImageScaling

// The decoder the application uses: Qt's readers for common formats, libheif for HEIC/HEIF,
// LibRaw previews for camera raw files and an FFmpeg frame grabber for videos.
std::unique_ptr<ImageDecoder> makeMediaImageDecoder();

} // namespace app
