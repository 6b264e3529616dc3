// Arbitrary bytes -> HeifBoxReader. It must stay within its limits, report a size and Exif bytes only
// for a file it read through, and hand out Exif bytes only from the input. The layout it gives the
// HEVC decoder must be within its limits too, and every tile's bytes readable or refused. The box
// walker under all of it must keep every box it accepts inside its parent, at any depth, and the
// item-box reader the orientation editor writes through must place every field it reports inside
// the box it read.
#include "app/platform/metadata/HeifBoxParsing.h"
#include "app/platform/metadata/HeifBoxReader.h"
#include "app/platform/metadata/IsoBoxWalker.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

namespace {

// Every box read as a parent of further boxes, a few levels down.
void walk(const std::uint8_t* data, std::size_t size, int depth)
{
    std::size_t at = 0;
    while (at < size) {
        app::isobox::BoxHeader header;
        if (app::isobox::readBoxHeader(data + at, size - at, size - at, header) != app::isobox::HeaderStatus::ok)
            return;
        if (header.size < header.headerSize || header.size > size - at)
            std::abort();
        if (depth < 4)
            walk(data + at + header.headerSize, std::size_t(header.size) - header.headerSize, depth + 1);
        at += std::size_t(header.size);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    walk(data, size, 0);
    const app::MemoryByteSource source(data, qint64(size));
    const app::HeifBoxReader::Result result = app::HeifBoxReader::read(source);
    if (result.status != app::HeifBoxReader::Status::ok && (result.width || result.height || !result.exif.empty()))
        std::abort();
    if (result.exif.size() > std::size_t(app::HeifBoxReader::maximumExifSize))
        std::abort();
    // Stored in the file (single extent) or in its item-data box: either way, bytes of the input.
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    if (!result.exif.empty() && result.exif.size() <= 64 && input.find(result.exif) == std::string_view::npos)
        std::abort();
    bool still = false;
    const std::vector<std::uint8_t> metaBytes = app::heifbox::readMetaBox(source, still);
    const app::heifbox::Meta meta = app::heifbox::readMeta(app::isobox::Cursor(metaBytes.data(), metaBytes.size()));
    for (const app::heifbox::Property& p : meta.properties)
        if (p.start > p.bodyStart || p.bodyStart > p.end || p.end > metaBytes.size())
            std::abort();
    for (const auto& [id, item] : meta.items)
        for (const app::heifbox::Extent& e : item.extents)
            if (item.located && e.offsetField + std::size_t(meta.offsetSize) > metaBytes.size())
                std::abort();
    const app::HeifBoxReader::Images images = app::HeifBoxReader::readImages(source);
    if (images.status != app::HeifBoxReader::Status::ok)
        return 0;
    if (images.thumbnails.size() > std::size_t(app::HeifBoxReader::maximumThumbnails))
        std::abort();
    std::vector<const app::HeifBoxReader::Image*> all{&images.primary};
    for (const auto& thumbnail : images.thumbnails)
        all.push_back(&thumbnail);
    for (const app::HeifBoxReader::Image* image : all) {
        using R = app::HeifBoxReader;
        if (image->tiles.empty() || image->tiles.size() > size_t(R::maximumTiles) || image->width == 0
            || image->width > R::maximumSide || image->height > R::maximumSide || std::max(image->shownWidth, image->shownHeight) > std::max(image->width, image->height)
            || std::uint64_t(image->width) * image->height > R::maximumPixels)
            std::abort();
        for (const auto& tile : image->tiles) {
            const std::optional<std::string> data = R::pictureData(source, images, tile);
            if (data && (data->empty() || data->size() > R::maximumCodedSize || data->size() > size))
                std::abort();
        }
    }
    return 0;
}
