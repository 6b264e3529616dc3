#pragma once

#include "app/platform/metadata/HeifBoxReader.h"

#include <QImage>

struct AVFrame;

namespace app::HevcFrameConversion {

// Converts the rows [top, top + height) of the left `width` columns of a decoded frame into
// `target` at (x, y + top), pixel for pixel, with the colour matrix and range the file declares.
bool convert(const AVFrame& frame, const HeifBoxReader::Image& image, QImage& target, int x, int y, int width, int top,
             int height);

// Converts the top-left `width` x `height` of a decoded frame into the whole of the smaller
// `target`, scaling and converting in one pass, in bands of rows on up to `threads` threads.
bool convertScaled(const AVFrame& frame, const HeifBoxReader::Image& image, int width, int height, QImage& target,
                   int threads);

} // namespace app::HevcFrameConversion
