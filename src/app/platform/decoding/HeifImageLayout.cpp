// HeifBoxReader::readImages: the coded pictures of the primary image and its thumbnails, the grid
// that puts tiles together, and the transforms and colour the file declares for them.
#include "app/platform/metadata/HeifBoxParsing.h"
#include "app/platform/metadata/HeifBoxReader.h"
#include "app/platform/metadata/HevcParameterSets.h"

#include <algorithm>
#include <cmath>
#include <set>
#include <string_view>

namespace app {

using namespace heifbox;

namespace {

using Images = HeifBoxReader::Images;
using Image = HeifBoxReader::Image;
using Transform = HeifBoxReader::Transform;
// One copy of each configuration record, however many tiles and thumbnails use it.
using Configs = std::map<const Property*, std::shared_ptr<const std::string>>;

std::string_view bodyOf(const Property& p)
{
    return {reinterpret_cast<const char*>(p.body.data()), p.body.left()};
}

bool understood(std::uint32_t type)
{
    for (const std::uint32_t known : {fourCC("hvcC"), fourCC("ispe"), fourCC("irot"), fourCC("imir"), fourCC("clap"),
                                      fourCC("colr"), fourCC("pixi")})
        if (type == known)
            return true;
    return false;
}

// The properties of an item in their association order; nothing when one it must obey is unknown.
std::optional<std::vector<const Property*>> propertiesOf(const Meta& meta, const Item& item)
{
    std::vector<const Property*> out;
    for (const std::uint16_t raw : item.properties) {
        const size_t at = raw & ~essentialProperty;
        if (at == 0 || at > meta.properties.size())
            continue;
        const Property& p = meta.properties[at - 1];
        if ((raw & essentialProperty) && !understood(p.type))
            return std::nullopt;
        out.push_back(&p);
    }
    return out;
}

void takeColour(const std::vector<const Property*>& properties, Image& image)
{
    for (const Property* p : properties) {
        if (p->type == fourCC("colr") && p->nclx && !image.declaresColour) {
            image.declaresColour = true;
            image.matrix = p->matrix;
            image.fullRange = p->fullRange;
        }
    }
}

// One HEVC-coded item with its configuration, size and place; nothing when any of them is amiss.
std::optional<HeifBoxReader::CodedPicture> codedPicture(const Meta& meta, std::uint32_t id, bool tile, Image& image,
                                                        Configs& configs)
{
    const auto found = meta.items.find(id);
    if (found == meta.items.end())
        return std::nullopt;
    const Item& item = found->second;
    const auto properties = propertiesOf(meta, item);
    if (item.type != fourCC("hvc1") || !item.located || !properties || item.dataReference != 0
        || (item.constructionMethod != 0 && item.constructionMethod != 1) || item.extents.empty())
        return std::nullopt;
    HeifBoxReader::CodedPicture picture;
    int bitDepth = 8;
    for (const Property* p : *properties) {
        if (p->type == fourCC("ispe")) {
            picture.width = p->width;
            picture.height = p->height;
        } else if (p->type == fourCC("hvcC")) {
            std::shared_ptr<const std::string>& shared = configs[p];
            if (!shared)
                shared = std::make_shared<const std::string>(bodyOf(*p));
            picture.config = shared;
        } else if (p->type == fourCC("pixi")) {
            bitDepth = std::max(bitDepth, p->maxBitDepth);
        } else if (p->type == fourCC("irot") || p->type == fourCC("imir") || p->type == fourCC("clap")) {
            if (tile)
                return std::nullopt; // a tile of its own orientation: left to the full decoder
        }
    }
    // 8 bits per sample, as the configuration record says (bytes 17 and 18 hold depth - 8).
    const std::string* config = picture.config.get();
    if (!config || config->size() < 23 || ((*config)[17] & 7) != 0 || ((*config)[18] & 7) != 0 || bitDepth != 8)
        return std::nullopt;
    // The size the decoder will output, which the file-wide check found to be the declared one or,
    // under a quarter turn, its transpose.
    hevc::PictureSize coded;
    if (hevc::configSize(*config, coded) != hevc::Found::size || !hevc::matches(coded, picture.width, picture.height, true))
        return std::nullopt;
    picture.width = coded.width;
    picture.height = coded.height;
    if (picture.width == 0 || picture.height == 0 || picture.width > HeifBoxReader::maximumSide
        || picture.height > HeifBoxReader::maximumSide)
        return std::nullopt;
    std::uint64_t total = 0;
    for (const Extent& extent : item.extents) {
        if (extent.length == 0 || extent.length > HeifBoxReader::maximumCodedSize - total
            || extent.offset > std::uint64_t(INT64_MAX) - item.baseOffset)
            return std::nullopt;
        total += extent.length;
        picture.extents.emplace_back(item.baseOffset + extent.offset, extent.length);
    }
    picture.inItemData = item.constructionMethod == 1;
    takeColour(*properties, image);
    return picture;
}

std::int64_t roundedRatio(std::int64_t n, std::int64_t d)
{
    return std::int64_t(std::llround(double(n) / double(d)));
}

// Transforms of the image item in their order, and the size they leave; false when a crop does
// not fit.
bool readTransforms(const std::vector<const Property*>& properties, Image& image)
{
    std::uint32_t w = image.width;
    std::uint32_t h = image.height;
    for (const Property* p : properties) {
        Transform t;
        if (p->type == fourCC("irot")) {
            t.kind = Transform::Kind::rotate;
            t.quarterTurns = p->rotation / 90;
            if (t.quarterTurns % 2)
                std::swap(w, h);
        } else if (p->type == fourCC("imir")) {
            t.kind = Transform::Kind::mirror;
            // Axis 0 flips top to bottom, as the files libheif and the rotation editor write say it.
            t.leftRight = p->mirrorAxis == 1;
        } else if (p->type == fourCC("clap")) {
            // Width, height and the two offsets, each numerator over denominator; the offsets are signed.
            std::int64_t c[8];
            for (int i = 0; i < 8; ++i)
                c[i] = i % 2 || i < 4 ? std::int64_t(std::uint32_t(p->clap[i])) : std::int64_t(p->clap[i]);
            if (c[1] <= 0 || c[3] <= 0 || c[5] <= 0 || c[7] <= 0 || c[0] <= 0 || c[2] <= 0)
                return false;
            // Centred on the picture's centre plus the offset, in whole pixels.
            const std::int64_t cw = roundedRatio(c[0], c[1]);
            const std::int64_t ch = roundedRatio(c[2], c[3]);
            const double cx = double(c[4]) / double(c[5]) + (double(w) - 1) / 2;
            const double cy = double(c[6]) / double(c[7]) + (double(h) - 1) / 2;
            const std::int64_t left = std::int64_t(std::llround(cx - (double(cw) - 1) / 2));
            const std::int64_t top = std::int64_t(std::llround(cy - (double(ch) - 1) / 2));
            if (cw <= 0 || ch <= 0 || left < 0 || top < 0 || left + cw > std::int64_t(w) || top + ch > std::int64_t(h))
                return false;
            t.kind = Transform::Kind::crop;
            t.left = std::uint32_t(left);
            t.top = std::uint32_t(top);
            t.width = w = std::uint32_t(cw);
            t.height = h = std::uint32_t(ch);
        } else {
            continue;
        }
        image.transforms.push_back(t);
    }
    image.shownWidth = w;
    image.shownHeight = h;
    return true;
}

// A grid's layout from its item data: rows, columns and the size of the whole.
bool readGrid(const ByteSource& source, const Meta& meta, const Item& item, Image& image, int& rows)
{
    const std::optional<std::string> data = itemBytes(source, item, meta, 64);
    if (!data)
        return false;
    Cursor c(reinterpret_cast<const std::uint8_t*>(data->data()), data->size());
    const std::uint8_t version = c.u8();
    const std::uint8_t flags = c.u8();
    rows = c.u8() + 1;
    image.columns = c.u8() + 1;
    const int size = (flags & 1) ? 4 : 2;
    image.width = std::uint32_t(c.number(size));
    image.height = std::uint32_t(c.number(size));
    return c.ok() && version == 0 && rows * image.columns <= HeifBoxReader::maximumTiles;
}

std::optional<Image> readImage(const ByteSource& source, const Meta& meta, std::uint32_t id, Configs& configs)
{
    const auto found = meta.items.find(id);
    if (found == meta.items.end())
        return std::nullopt;
    const Item& item = found->second;
    const auto properties = propertiesOf(meta, item);
    if (!properties)
        return std::nullopt;
    // Alpha is the full decoder's.
    for (const auto& [from, to] : meta.auxiliary) {
        if (to != id)
            continue;
        const auto aux = meta.items.find(from);
        const auto auxProperties = aux == meta.items.end() ? std::nullopt : propertiesOf(meta, aux->second);
        if (!auxProperties)
            return std::nullopt;
        for (const Property* p : *auxProperties) {
            const std::string urn(reinterpret_cast<const char*>(p->body.data()), p->body.left());
            if (p->type == fourCC("auxC") && urn.find("alpha") != std::string::npos)
                return std::nullopt;
        }
    }
    Image image;
    takeColour(*properties, image);
    if (item.type == fourCC("hvc1")) {
        auto picture = codedPicture(meta, id, false, image, configs);
        if (!picture)
            return std::nullopt;
        image.width = picture->width;
        image.height = picture->height;
        image.tiles.push_back(std::move(*picture));
    } else if (item.type == fourCC("grid")) {
        int rows = 0;
        const auto tiles = meta.derived.find(id);
        if (tiles == meta.derived.end() || !readGrid(source, meta, item, image, rows)
            || tiles->second.size() != size_t(rows) * size_t(image.columns))
            return std::nullopt;
        for (const std::uint32_t tile : tiles->second) {
            auto picture = codedPicture(meta, tile, true, image, configs);
            if (!picture
                || (!image.tiles.empty()
                    && (picture->width != image.tiles.front().width || picture->height != image.tiles.front().height)))
                return std::nullopt;
            image.tiles.push_back(std::move(*picture));
        }
        // The tiles must cover the whole, and their last row and column must reach into it.
        const std::uint64_t tw = image.tiles.front().width;
        const std::uint64_t th = image.tiles.front().height;
        if (tw * std::uint64_t(image.columns) < image.width || th * std::uint64_t(rows) < image.height
            || tw * std::uint64_t(image.columns - 1) >= image.width || th * std::uint64_t(rows - 1) >= image.height)
            return std::nullopt;
    } else {
        return std::nullopt;
    }
    if (image.width == 0 || image.height == 0 || image.width > HeifBoxReader::maximumSide
        || image.height > HeifBoxReader::maximumSide
        || std::uint64_t(image.width) * image.height > HeifBoxReader::maximumPixels
        || !readTransforms(*properties, image))
        return std::nullopt;
    return image;
}

// The first bytes of an item's first extent, where a picture that carries its own parameter sets
// keeps them.
std::string itemStart(const ByteSource& source, const Meta& meta, const Item& item)
{
    if (item.extents.empty() || item.dataReference != 0)
        return {};
    Item first = item;
    first.extents.resize(1);
    first.extents[0].length = std::min<std::uint64_t>(first.extents[0].length, 4096);
    return itemBytes(source, first, meta, 4096).value_or(std::string());
}

// Every HEVC item's parameter set against its declared size, and the primary image's first picture's
// own parameter set when it carries one; false when any codes another size or cannot be read.
bool codesDeclaredSizes(const ByteSource& source, const Meta& meta)
{
    // Items under a quarter turn, their own or their grid's.
    std::set<std::uint32_t> turned;
    for (const auto& [id, item] : meta.items) {
        for (const std::uint16_t raw : item.properties) {
            const size_t at = raw & ~essentialProperty;
            if (at == 0 || at > meta.properties.size() || meta.properties[at - 1].type != fourCC("irot")
                || meta.properties[at - 1].rotation % 180 == 0)
                continue;
            turned.insert(id);
            if (const auto tiles = meta.derived.find(id); tiles != meta.derived.end())
                turned.insert(tiles->second.begin(), tiles->second.end());
        }
    }
    const auto declared = [&](const Item& item, const Property** config, std::uint32_t& w, std::uint32_t& h) {
        for (const std::uint16_t raw : item.properties) {
            const size_t at = raw & ~essentialProperty;
            if (at == 0 || at > meta.properties.size())
                continue;
            const Property& p = meta.properties[at - 1];
            if (p.type == fourCC("ispe"))
                w = p.width, h = p.height;
            else if (p.type == fourCC("hvcC") && !*config)
                *config = &p;
        }
    };
    for (const auto& [id, item] : meta.items) {
        if (item.type != fourCC("hvc1"))
            continue;
        const Property* config = nullptr;
        std::uint32_t w = 0, h = 0;
        declared(item, &config, w, h);
        hevc::PictureSize coded;
        const hevc::Found found = config ? hevc::configSize(bodyOf(*config), coded) : hevc::Found::none;
        if (found == hevc::Found::malformed || (found == hevc::Found::size && !hevc::matches(coded, w, h, turned.count(id))))
            return false;
    }
    // The primary image's first coded picture: the item itself or a grid's first tile.
    std::uint32_t first = *meta.primary;
    if (const auto tiles = meta.derived.find(first); tiles != meta.derived.end() && !tiles->second.empty())
        first = tiles->second.front();
    const auto item = meta.items.find(first);
    if (item == meta.items.end() || item->second.type != fourCC("hvc1"))
        return true;
    const Property* config = nullptr;
    std::uint32_t w = 0, h = 0;
    declared(item->second, &config, w, h);
    hevc::PictureSize coded;
    const int lengthSize = config ? hevc::nalLengthSize(bodyOf(*config)) : 4;
    const hevc::Found found = hevc::streamSize(itemStart(source, meta, item->second), lengthSize, coded);
    return found == hevc::Found::none || (found == hevc::Found::size && hevc::matches(coded, w, h, turned.count(first)));
}

} // namespace

HeifBoxReader::Images HeifBoxReader::readImages(const ByteSource& source)
{
    Images result;
    bool heif = false;
    const std::vector<std::uint8_t> metaBytes = readMetaBox(source, heif);
    if (!heif)
        return result;
    result.status = Status::unsupported;
    const Meta meta = readMeta(Cursor(metaBytes.data(), metaBytes.size()));
    if (metaBytes.empty() || meta.failed || !meta.handlerIsPicture || !meta.primary || !meta.hasLocations
        || !meta.hasItemInfo || !meta.hasProperties)
        return result;
    if (declaresOversizedPicture(meta) || !codesDeclaredSizes(source, meta)) {
        result.status = Status::unreadable;
        return result;
    }
    Configs configs;
    std::optional<Image> primary = readImage(source, meta, *meta.primary, configs);
    if (!primary)
        return result;
    result.primary = std::move(*primary);
    // A thumbnail that cannot be read is passed over: the primary image stands in for it. Each
    // thumbnail is read once, however often it is referred to.
    std::set<std::uint32_t> seen;
    for (const auto& [from, to] : meta.thumbnails) {
        if (to != *meta.primary || !seen.insert(from).second)
            continue;
        if (seen.size() > size_t(maximumThumbnails))
            break;
        if (std::optional<Image> thumbnail = readImage(source, meta, from, configs))
            result.thumbnails.push_back(std::move(*thumbnail));
    }
    result.itemData.assign(reinterpret_cast<const char*>(meta.itemData.data()), meta.itemData.left());
    result.status = Status::ok;
    return result;
}

std::optional<std::string> HeifBoxReader::pictureData(const ByteSource& source, const Images& images,
                                                      const CodedPicture& picture)
{
    const std::uint64_t available = picture.inItemData ? images.itemData.size() : std::uint64_t(source.size());
    std::string bytes;
    for (const auto& [offset, length] : picture.extents) {
        if (offset > available || length > available - offset || length > maximumCodedSize - bytes.size())
            return std::nullopt;
        const size_t at = bytes.size();
        if (picture.inItemData) {
            bytes.append(images.itemData, size_t(offset), size_t(length));
            continue;
        }
        bytes.resize(at + size_t(length));
        if (source.read(qint64(offset), bytes.data() + at, qint64(length)) != qint64(length))
            return std::nullopt;
    }
    return bytes;
}

} // namespace app
