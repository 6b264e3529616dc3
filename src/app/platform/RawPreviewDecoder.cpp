#include "app/platform/RawPreviewDecoder.h"

#include "app/platform/QtImageDecoder.h"

#include <QFile>

#include <libraw/libraw.h>

#include <memory>

namespace app {

namespace {

struct ThumbDeleter {
    void operator()(libraw_processed_image_t* t) const { LibRaw::dcraw_clear_mem(t); }
};

// LibRaw's flip (bit 0 mirrors left to right, bit 1 top to bottom, bit 2 swaps the axes) as an
// Exif orientation; mirrored values count too.
int exifOrientation(int flip)
{
    static constexpr int orientations[8] = {1, 2, 4, 3, 5, 8, 6, 7};
    return flip >= 0 && flip < 8 ? orientations[flip] : 1;
}

} // namespace

const QSet<QString>& RawPreviewDecoder::fileExtensions()
{
    static const QSet<QString> set{"dng", "cr2", "cr3", "nef", "arw", "orf", "rw2", "raf", "srw", "pef"};
    return set;
}

QImage RawPreviewDecoder::decode(const MediaItem& item, int maxPixelSize)
{
    return decodeFile(item.url, maxPixelSize);
}

QImage RawPreviewDecoder::decodeFile(const QString& path, int maxPixelSize)
{
    if (maxPixelSize <= 0)
        return {};
    // LibRaw is several hundred kilobytes; keep it off the worker's stack.
    auto raw = std::make_unique<LibRaw>(LIBRAW_OPTIONS_NONE);
    if (raw->open_file(QFile::encodeName(path).constData()) != LIBRAW_SUCCESS)
        return {};
    if (raw->unpack_thumb() != LIBRAW_SUCCESS)
        return {};
    int error = 0;
    std::unique_ptr<libraw_processed_image_t, ThumbDeleter> thumb(raw->dcraw_make_mem_thumb(&error));
    if (!thumb || error != LIBRAW_SUCCESS)
        return {};

    QImage image;
    if (thumb->type == LIBRAW_IMAGE_JPEG) {
        const QByteArray data(reinterpret_cast<const char*>(thumb->data), qsizetype(thumb->data_size));
        // The raw file's flip is the truth; the preview's own Exif orientation is ignored.
        image = QtImageDecoder::decodeData(data, maxPixelSize, false);
    } else if (thumb->type == LIBRAW_IMAGE_BITMAP && thumb->colors == 3 && thumb->bits == 8) {
        const qint64 needed = qint64(thumb->width) * thumb->height * 3;
        if (thumb->width == 0 || thumb->height == 0 || needed > qint64(thumb->data_size))
            return {};
        const QImage view(thumb->data, thumb->width, thumb->height, thumb->width * 3, QImage::Format_RGB888);
        image = ImageScaling::fitted(view.copy(), maxPixelSize);
    }
    if (image.isNull())
        return {};
    return ImageScaling::applyExifOrientation(image, exifOrientation(raw->imgdata.sizes.flip));
}

} // namespace app
