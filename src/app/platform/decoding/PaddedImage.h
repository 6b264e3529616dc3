#pragma once

#include <QImage>
#include <QSize>

namespace app::PaddedImage {

// An image FFmpeg's converters may write into. Their vector code writes whole blocks of pixels,
// past a row's last pixel and past the last row (up to 60 bytes at some widths), so an image with
// Qt's tight rows is overrun: every row here runs to a 64-byte boundary, the memory starts on one,
// and a spare row follows the last. A null image when the memory cannot be had.
QImage allocate(QSize size, QImage::Format format);

// Bytes from one row to the next, and the whole buffer, for `size` in a 32-bit format.
qsizetype stride(int width);
qsizetype bytes(QSize size);

} // namespace app::PaddedImage
