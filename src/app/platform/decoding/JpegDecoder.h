#pragma once

#include <QByteArray>
#include <QImage>

#include <optional>

namespace app {

// JPEG straight through libjpeg-turbo: shrunk while decoding by its own scaling (the smallest
// eighth-step scale still at least the wanted size), written into the image's rows as 32-bit
// pixels, with no copy between. Nothing when the bytes are no JPEG it handles this way (not a
// JPEG, CMYK, damaged beyond decoding): Qt's reader takes those as before.
namespace JpegDecoder {

std::optional<QImage> decode(const QByteArray& data, int maxPixelSize, bool applyOrientation);

// The scale libjpeg decodes at, in eighths: the smallest whose longer side reaches `target`.
int scaleEighths(int longSide, int target);

} // namespace JpegDecoder
} // namespace app
