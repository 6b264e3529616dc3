#include "app/platform/decoding/RawPreviewDecoder.h"

#include "app/platform/decoding/QtImageDecoder.h"

#include <QFile>

#include <libraw/libraw.h>

#include <algorithm>
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

QImage bitmapImage(const libraw_processed_image_t& bitmap, int maxPixelSize)
{
    if (bitmap.type != LIBRAW_IMAGE_BITMAP || bitmap.colors != 3 || bitmap.bits != 8)
        return {};
    const qint64 needed = qint64(bitmap.width) * bitmap.height * 3;
    if (bitmap.width == 0 || bitmap.height == 0 || needed > qint64(bitmap.data_size))
        return {};
    const QImage view(bitmap.data, bitmap.width, bitmap.height, bitmap.width * 3, QImage::Format_RGB888);
    return ImageScaling::fitted(view.copy(), maxPixelSize);
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

namespace {

// The camera's preview, when its longer side reaches `neededPixels`; a smaller one would be shown
// scaled up.
QImage previewImage(LibRaw& raw, int maxPixelSize, int neededPixels)
{
    if (raw.unpack_thumb() != LIBRAW_SUCCESS)
        return {};
    int error = 0;
    std::unique_ptr<libraw_processed_image_t, ThumbDeleter> thumb(raw.dcraw_make_mem_thumb(&error));
    if (!thumb || error != LIBRAW_SUCCESS)
        return {};

    QImage image;
    if (thumb->type == LIBRAW_IMAGE_JPEG) {
        const QByteArray data(reinterpret_cast<const char*>(thumb->data), qsizetype(thumb->data_size));
        // The raw file's flip is the truth; the preview's own Exif orientation is ignored.
        image = QtImageDecoder::decodeData(data, maxPixelSize, false);
    } else {
        image = bitmapImage(*thumb, maxPixelSize);
    }
    // The image is already fitted to maxPixelSize, so its longer side tells whether the preview was large enough.
    if (image.isNull() || std::max(image.width(), image.height()) < neededPixels)
        return {};
    return ImageScaling::applyExifOrientation(image, exifOrientation(raw.imgdata.sizes.flip));
}

// No usable preview: develop the sensor data, at half size (which skips demosaicing) when that still
// gives the pixels asked for. LibRaw's developed image is already turned by the file's flip.
QImage developedImage(LibRaw& raw, int maxPixelSize, int fullPixels)
{
    raw.imgdata.params.half_size = fullPixels / 2 >= maxPixelSize ? 1 : 0;
    raw.imgdata.params.use_camera_wb = 1;
    if (raw.unpack() != LIBRAW_SUCCESS || raw.dcraw_process() != LIBRAW_SUCCESS)
        return {};
    int error = 0;
    std::unique_ptr<libraw_processed_image_t, ThumbDeleter> developed(raw.dcraw_make_mem_image(&error));
    if (!developed || error != LIBRAW_SUCCESS)
        return {};
    return bitmapImage(*developed, maxPixelSize);
}

} // namespace

QImage RawPreviewDecoder::decodeFile(const QString& path, int maxPixelSize)
{
    if (maxPixelSize <= 0)
        return {};
    // LibRaw is several hundred kilobytes; keep it off the worker's stack.
    auto raw = std::make_unique<LibRaw>(LIBRAW_OPTIONS_NONE);
    if (raw->open_file(QFile::encodeName(path).constData()) != LIBRAW_SUCCESS)
        return {};
    // The longer side of the photo itself: no preview and no development gives more than that.
    const int fullPixels = std::max<int>(raw->imgdata.sizes.width, raw->imgdata.sizes.height);
    const int needed = fullPixels > 0 ? std::min(maxPixelSize, fullPixels) : maxPixelSize;
    QImage image = previewImage(*raw, maxPixelSize, needed);
    if (image.isNull())
        image = developedImage(*raw, maxPixelSize, fullPixels);
    return image;
}

} // namespace app
