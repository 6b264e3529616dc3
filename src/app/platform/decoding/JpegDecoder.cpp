#include "app/platform/decoding/JpegDecoder.h"

#include "app/platform/decoding/ImageDecoder.h"

#include <QBuffer>
#include <QImageIOHandler>
#include <QImageReader>

#include <algorithm>
#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>

namespace app::JpegDecoder {
namespace {

struct ErrorManager {
    jpeg_error_mgr base;
    std::jmp_buf jump;
};

[[noreturn]] void failed(j_common_ptr info)
{
    std::longjmp(reinterpret_cast<ErrorManager*>(info->err)->jump, 1);
}

// Warnings (a file cut short, stray bytes before a marker) leave the picture as libjpeg made it,
// grey where data is missing, as Qt's reader does.
void quiet(j_common_ptr, int) {}

int exifOrientation(QImageIOHandler::Transformations t)
{
    switch (int(t)) {
    case QImageIOHandler::TransformationMirror: return 2;
    case QImageIOHandler::TransformationRotate180: return 3;
    case QImageIOHandler::TransformationFlip: return 4;
    case QImageIOHandler::TransformationFlipAndRotate90: return 5;
    case QImageIOHandler::TransformationRotate90: return 6;
    case QImageIOHandler::TransformationMirrorAndRotate90: return 7;
    case QImageIOHandler::TransformationRotate270: return 8;
    default: return 1;
    }
}

// Decoded at the smallest eighth-step scale that still covers `maxPixelSize`, and turned by Exif
// `orientation` when that scale is the final size: then each band of rows goes straight to its
// upright place. `turned` tells whether it was. Null on a fatal libjpeg error or a colour space it
// cannot turn into 32-bit pixels.
QImage decodeScaled(const QByteArray& data, int maxPixelSize, int orientation, bool& turned)
{
    jpeg_decompress_struct info{};
    ErrorManager errors{};
    info.err = jpeg_std_error(&errors.base);
    errors.base.error_exit = failed;
    errors.base.emit_message = quiet;
    // Made before any jump can come back here; only libjpeg's C frames lie in between.
    QImage image;
    QImage band;
    if (setjmp(errors.jump) != 0) {
        jpeg_destroy_decompress(&info);
        return {};
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(data.constData()), static_cast<unsigned long>(data.size()));
    if (jpeg_read_header(&info, TRUE) != JPEG_HEADER_OK || info.image_width == 0 || info.image_height == 0
        || (info.jpeg_color_space != JCS_YCbCr && info.jpeg_color_space != JCS_RGB
            && info.jpeg_color_space != JCS_GRAYSCALE)) {
        jpeg_destroy_decompress(&info);
        return {};
    }
    info.out_color_space = JCS_EXT_BGRX; // QImage::Format_RGB32 in memory, the spare byte 0xff
    info.scale_num = static_cast<unsigned>(
        scaleEighths(static_cast<int>(std::max(info.image_width, info.image_height)), maxPixelSize));
    info.scale_denom = 8;
    jpeg_start_decompress(&info);
    const QSize decoded(static_cast<int>(info.output_width), static_cast<int>(info.output_height));
    turned = orientation != 1 && ImageScaling::fittedSize(decoded, maxPixelSize) == decoded;
    constexpr unsigned bandRows = 16;
    image = QImage(turned ? ImageScaling::orientedSize(decoded, orientation) : decoded, QImage::Format_RGB32);
    if (turned)
        band = QImage(decoded.width(), int(bandRows), QImage::Format_RGB32);
    if (image.isNull() || (turned && band.isNull())) {
        jpeg_destroy_decompress(&info);
        return {};
    }
    while (info.output_scanline < info.output_height) {
        const unsigned first = info.output_scanline;
        const unsigned count = std::min(bandRows, info.output_height - first);
        JSAMPROW rows[bandRows];
        for (unsigned i = 0; i < count; ++i)
            rows[i] = turned ? band.scanLine(int(i)) : image.scanLine(int(first + i));
        for (unsigned done = 0; done < count;) {
            const unsigned got = jpeg_read_scanlines(&info, rows + done, count - done);
            if (got == 0) {
                jpeg_destroy_decompress(&info);
                return {};
            }
            done += got;
        }
        if (turned)
            ImageScaling::placeOrientedRows(band, int(count), int(first), decoded, orientation, image);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return image;
}

} // namespace

int scaleEighths(int longSide, int target)
{
    for (int eighths = 1; eighths < 8; ++eighths)
        if ((static_cast<long long>(longSide) * eighths + 7) / 8 >= target)
            return eighths;
    return 8;
}

std::optional<QImage> decode(const QByteArray& data, int maxPixelSize, bool applyOrientation)
{
    if (maxPixelSize <= 0 || data.size() < 3 || static_cast<unsigned char>(data[0]) != 0xff
        || static_cast<unsigned char>(data[1]) != 0xd8 || static_cast<unsigned char>(data[2]) != 0xff)
        return std::nullopt;
    int orientation = 1;
    if (applyOrientation) {
        // Qt's reader finds the Exif orientation from the header alone.
        QBuffer buffer;
        buffer.setData(data);
        buffer.open(QIODevice::ReadOnly);
        orientation = exifOrientation(QImageReader(&buffer, "jpeg").transformation());
    }
    bool turned = false;
    QImage image = decodeScaled(data, maxPixelSize, orientation, turned);
    if (image.isNull())
        return std::nullopt;
    if (turned)
        return image;
    return ImageScaling::applyExifOrientation(ImageScaling::fitted(image, maxPixelSize), orientation);
}

} // namespace app::JpegDecoder
