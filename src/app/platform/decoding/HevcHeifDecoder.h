#pragma once

#include "app/platform/metadata/HeifBoxReader.h"

#include <QImage>

namespace app::HevcHeifDecoder {

// HEIC pictures through FFmpeg's HEVC decoder, laid out by HeifBoxReader: a grid's tiles decode on
// several threads at once and are converted to RGB with the colour matrix and range the file
// declares. A null image means "not for us" or a failure; the caller then tries libheif.
// `image` must have come from HeifBoxReader::readImages on the same source. With a `maxPixelSize`
// and no crop the picture comes fitted into it, scaled as it is converted; one shown at most 0.6 of
// its size skips the decoder's in-loop filters, whose effect the scaling smooths away, unless
// `filtering` says always.
enum class Filtering { asShown, always };
QImage decode(const ByteSource& source, const HeifBoxReader::Images& images, const HeifBoxReader::Image& image,
              int maxPixelSize = 0, Filtering filtering = Filtering::asShown);

// `decode` and `shown` with the picture's share of the pixel budget held until it is shown.
QImage decodeShown(const ByteSource& source, const HeifBoxReader::Images& images, const HeifBoxReader::Image& image,
                   int maxPixelSize);

// Applies the image's transforms (crop, rotation, mirror) to its decoded picture, fitting it into
// `maxPixelSize` on the way (before the turns, which do not change the longer side).
QImage shown(const QImage& decoded, const HeifBoxReader::Image& image, int maxPixelSize);

} // namespace app::HevcHeifDecoder
