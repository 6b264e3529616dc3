#include "app/platform/decoding/PaddedImage.h"

extern "C" {
#include <libavutil/mem.h>
}

#include <limits>

namespace app::PaddedImage {

namespace {

constexpr qsizetype kAlign = 64;

void release(void* memory)
{
    av_free(memory);
}

} // namespace

qsizetype stride(int width)
{
    return (qsizetype(width) * 4 + kAlign - 1) / kAlign * kAlign;
}

qsizetype bytes(QSize size)
{
    return stride(size.width()) * (qsizetype(size.height()) + 1);
}

QImage allocate(QSize size, QImage::Format format)
{
    if (size.isEmpty() || QImage::toPixelFormat(format).bitsPerPixel() != 32)
        return {};
    // QImage keeps its stride in an int.
    if (stride(size.width()) > std::numeric_limits<int>::max())
        return {};
    void* memory = av_malloc(size_t(bytes(size)));
    if (!memory)
        return {};
    QImage image(static_cast<uchar*>(memory), size.width(), size.height(), stride(size.width()), format, release,
                 memory);
    if (image.isNull())
        av_free(memory);
    return image;
}

} // namespace app::PaddedImage
