#include "app/platform/decoding/HeifImageDecoder.h"

#include "app/platform/decoding/HevcHeifDecoder.h"
#include "app/platform/decoding/PixelBudget.h"

#include <QFile>

#include <libheif/heif.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace app {

namespace {

struct ContextDeleter {
    void operator()(heif_context* c) const { heif_context_free(c); }
};
struct HandleDeleter {
    void operator()(heif_image_handle* h) const { heif_image_handle_release(h); }
};
struct ImageDeleter {
    void operator()(heif_image* i) const { heif_image_release(i); }
};
using Context = std::unique_ptr<heif_context, ContextDeleter>;
using Handle = std::unique_ptr<heif_image_handle, HandleDeleter>;
using Image = std::unique_ptr<heif_image, ImageDeleter>;

// Larger than any phone camera; a hostile file cannot make us allocate more.
constexpr int kMaxSide = 16384;

int longSide(const heif_image_handle* h)
{
    return std::max(heif_image_handle_get_width(h), heif_image_handle_get_height(h));
}

QImage toQImage(const heif_image_handle* handle, int maxPixelSize)
{
    const bool alpha = heif_image_handle_has_alpha_channel(handle) != 0;
    // The decoded planes and their RGB copy, until it is fitted.
    const PixelBudget::Lease lease(2 * std::uint64_t(std::max(0, heif_image_handle_get_width(handle)))
                                   * std::uint64_t(std::max(0, heif_image_handle_get_height(handle))));
    heif_image* raw = nullptr;
    const heif_error err = heif_decode_image(handle, &raw, heif_colorspace_RGB,
                                             alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB,
                                             nullptr);
    Image image(raw);
    if (err.code != heif_error_Ok || !image)
        return {};
    const int w = heif_image_get_width(image.get(), heif_channel_interleaved);
    const int h = heif_image_get_height(image.get(), heif_channel_interleaved);
    int stride = 0;
    const uint8_t* data = heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
    if (!data || w <= 0 || h <= 0 || w > kMaxSide || h > kMaxSide || stride < w * (alpha ? 4 : 3))
        return {};
    const QImage view(data, w, h, stride, alpha ? QImage::Format_RGBA8888 : QImage::Format_RGB888);
    return ImageScaling::fitted(view.copy(), maxPixelSize);
}

} // namespace

QImage HeifImageDecoder::decode(const MediaItem& item, int maxPixelSize)
{
    return decodeFile(item.url, maxPixelSize);
}

QImage HeifImageDecoder::decodeFile(const QString& path, int maxPixelSize, Source* usedSource)
{
    bool unreadable = false;
    QImage image = decodeWithFfmpeg(path, maxPixelSize, usedSource, &unreadable);
    return image.isNull() && !unreadable ? decodeWithLibheif(path, maxPixelSize, usedSource) : image;
}

bool HeifImageDecoder::codesMoreThanDeclared(const QString& path)
{
    const MetadataFile file(QFile::encodeName(path));
    return file.isOpen() && HeifBoxReader::readImages(file).status == HeifBoxReader::Status::unreadable;
}

QImage HeifImageDecoder::decodeWithFfmpeg(const QString& path, int maxPixelSize, Source* usedSource, bool* unreadable)
{
    if (usedSource)
        *usedSource = Source::none;
    if (maxPixelSize <= 0)
        return {};
    const MetadataFile file(QFile::encodeName(path));
    const HeifBoxReader::Images images = HeifBoxReader::readImages(file);
    if (unreadable)
        *unreadable = images.status == HeifBoxReader::Status::unreadable;
    if (!file.isOpen() || images.status != HeifBoxReader::Status::ok)
        return {};
    const auto longer = [](const HeifBoxReader::Image& i) { return std::max(i.shownWidth, i.shownHeight); };
    const HeifBoxReader::Image* best = nullptr;
    for (const HeifBoxReader::Image& thumbnail : images.thumbnails)
        if (!best || longer(thumbnail) > longer(*best))
            best = &thumbnail;
    // Never upscale a small thumbnail item: it would look blurry next to its neighbours.
    if (best && longer(*best) >= std::uint32_t(maxPixelSize)) {
        const QImage decoded = HevcHeifDecoder::decodeShown(file, images, *best, maxPixelSize);
        if (!decoded.isNull()) {
            if (usedSource)
                *usedSource = Source::thumbnailItem;
            return decoded;
        }
    }
    const QImage decoded = HevcHeifDecoder::decodeShown(file, images, images.primary, maxPixelSize);
    if (!decoded.isNull() && usedSource)
        *usedSource = Source::primaryImage;
    return decoded;
}

QImage HeifImageDecoder::decodeWithLibheif(const QString& path, int maxPixelSize, Source* usedSource)
{
    if (usedSource)
        *usedSource = Source::none;
    if (maxPixelSize <= 0 || codesMoreThanDeclared(path))
        return {};
    Context ctx(heif_context_alloc());
    if (!ctx)
        return {};
    heif_context_set_maximum_image_size_limit(ctx.get(), kMaxSide);
    if (heif_context_read_from_file(ctx.get(), QFile::encodeName(path).constData(), nullptr).code != heif_error_Ok)
        return {};
    heif_image_handle* rawPrimary = nullptr;
    if (heif_context_get_primary_image_handle(ctx.get(), &rawPrimary).code != heif_error_Ok)
        return {};
    Handle primary(rawPrimary);

    Handle best;
    const int count = heif_image_handle_get_number_of_thumbnails(primary.get());
    if (count > 0 && count < 64) {
        std::vector<heif_item_id> ids(size_t(count), 0);
        const int listed = heif_image_handle_get_list_of_thumbnail_IDs(primary.get(), ids.data(), count);
        for (int i = 0; i < listed; ++i) {
            heif_image_handle* rawThumb = nullptr;
            if (heif_image_handle_get_thumbnail(primary.get(), ids[size_t(i)], &rawThumb).code != heif_error_Ok)
                continue;
            Handle thumb(rawThumb);
            if (!best || longSide(thumb.get()) > longSide(best.get()))
                best = std::move(thumb);
        }
    }

    QImage image;
    // Never upscale a small thumbnail item: it would look blurry next to its neighbours.
    if (best && longSide(best.get()) >= maxPixelSize) {
        image = toQImage(best.get(), maxPixelSize);
        if (!image.isNull() && usedSource)
            *usedSource = Source::thumbnailItem;
    }
    if (image.isNull()) {
        image = toQImage(primary.get(), maxPixelSize);
        if (!image.isNull() && usedSource)
            *usedSource = Source::primaryImage;
    }
    return image;
}

} // namespace app
