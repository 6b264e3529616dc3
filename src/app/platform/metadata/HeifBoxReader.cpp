#include "app/platform/metadata/HeifBoxReader.h"

#include "app/platform/metadata/HeifBoxParsing.h"

#include <algorithm>

namespace app {

using namespace heifbox;

HeifBoxReader::Result HeifBoxReader::read(const ByteSource& source)
{
    Result result;
    bool heif = false;
    const std::vector<std::uint8_t> metaBytes = readMetaBox(source, heif);
    if (heif)
        result.status = Status::unsupported;
    if (metaBytes.empty())
        return result;

    Meta meta = readMeta(Cursor(metaBytes.data(), metaBytes.size()));
    if (!meta.failed && declaresOversizedPicture(meta)) {
        result.status = Status::unreadable;
        return result;
    }
    if (meta.failed || !meta.handlerIsPicture || !meta.primary || !meta.hasLocations || !meta.hasItemInfo
        || !meta.hasProperties)
        return result;
    const auto primary = meta.items.find(*meta.primary);
    if (primary == meta.items.end() || primary->second.type == 0)
        return result;

    std::uint32_t width = 0;
    std::uint32_t height = 0;
    for (const std::uint16_t index : primary->second.properties) {
        const size_t at = index & ~essentialProperty;
        if (at == 0 || at > meta.properties.size())
            continue;
        const Property& p = meta.properties[at - 1];
        if (p.type == fourCC("ispe")) {
            width = p.width;
            height = p.height;
        } else if (p.type == fourCC("irot")) {
            if (p.rotation == 90 || p.rotation == 270)
                std::swap(width, height);
        } else if (p.type == fourCC("clap")) {
            return result; // a cropped size is the decoder's to compute
        }
    }

    // The Exif item with the lowest id that describes the primary image.
    for (const auto& [id, item] : meta.items) {
        if (item.type != fourCC("Exif"))
            continue;
        const auto [first, last] = meta.describes.equal_range(id);
        if (!std::any_of(first, last, [&](const auto& ref) { return ref.second == *meta.primary; }))
            continue;
        if (!item.located)
            return result;
        std::optional<std::string> bytes = itemBytes(source, item, meta, maximumExifSize);
        if (!bytes)
            return result;
        result.exif = std::move(*bytes);
        break;
    }
    result.width = width;
    result.height = height;
    result.status = Status::ok;
    return result;
}

} // namespace app
