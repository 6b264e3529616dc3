#include "app/platform/metadata/HeifBoxParsing.h"

#include "app/platform/metadata/HeifBoxReader.h"
#include "app/platform/metadata/MediaLimits.h"

#include <algorithm>
#include <set>

namespace app::heifbox {

namespace {

// What one box read adds to the items, committed only when the whole box was read.
struct Reading {
    Meta& meta;
    const std::uint8_t* origin;
    std::uint32_t box;
    bool ok = true;

    std::size_t at(const Cursor& c) const { return std::size_t(c.data() - origin); }
    void fail() { ok = false; }
    // False, and the box named as unread, when it was not read through.
    bool finish(const Cursor& c)
    {
        if (!ok || !c.ok())
            meta.unread.push_back(box);
        return ok && c.ok();
    }
};

// The item of that id, made on first sight; none (and the walk failed) beyond the limit.
Item* itemFor(Meta& meta, std::uint32_t id)
{
    auto it = meta.items.find(id);
    if (it == meta.items.end()) {
        if (meta.items.size() >= size_t(HeifBoxReader::maximumItems)) {
            meta.failed = true; // more items than the limit: the file is not for us
            return nullptr;
        }
        it = meta.items.emplace(id, Item()).first;
    }
    return &it->second;
}

void readItemInfo(Cursor c, Reading r)
{
    std::uint8_t version = 0;
    fullBoxHeader(c, version);
    (void)(version == 0 ? c.u16() : c.u32()); // entry count: the boxes themselves are walked
    std::vector<std::pair<std::uint32_t, std::uint32_t>> types;
    Box box;
    while (c.ok() && nextBox(c, box)) {
        if (box.type != fourCC("infe"))
            continue;
        std::uint8_t v = 0;
        fullBoxHeader(box.body, v);
        if (v < 2)
            continue; // no item type in the old versions: nothing we look for
        const std::uint32_t id = v == 2 ? box.body.u16() : box.body.u32();
        (void)box.body.u16(); // protection index
        const std::uint32_t type = box.body.u32();
        if (box.body.ok())
            types.emplace_back(id, type);
    }
    if (c.left() != 0)
        r.fail(); // a box that does not fit
    if (!r.finish(c))
        return;
    for (const auto& [id, type] : types)
        if (Item* item = itemFor(r.meta, id))
            item->type = type;
    r.meta.hasItemInfo = true;
}

void readLocations(Cursor c, Reading r)
{
    std::uint8_t version = 0;
    fullBoxHeader(c, version);
    const std::uint8_t sizes = c.u8();
    const std::uint8_t sizes2 = c.u8();
    const int offsetSize = sizes >> 4;
    const int lengthSize = sizes & 15;
    const int baseOffsetSize = sizes2 >> 4;
    const int indexSize = version == 0 ? 0 : sizes2 & 15;
    for (int s : {offsetSize, lengthSize, baseOffsetSize, indexSize})
        if (s != 0 && s != 4 && s != 8)
            r.fail();
    if (version > 2)
        r.fail();
    std::map<std::uint32_t, Item> located;
    const std::uint32_t count = !r.ok ? 0 : version < 2 ? c.u16() : c.u32();
    for (std::uint32_t i = 0; i < count && c.ok() && r.ok; ++i) {
        const std::uint32_t id = version < 2 ? c.u16() : c.u32();
        Item item;
        if (version > 0)
            item.constructionMethod = c.u16() & 15;
        item.dataReference = c.u16();
        item.baseOffsetField = r.at(c);
        item.baseOffset = c.number(baseOffsetSize);
        const std::uint16_t extentCount = c.u16();
        // Without any width an extent is the whole data: more than one means nothing.
        if (extentCount > HeifBoxReader::maximumExtents
            || (indexSize + offsetSize + lengthSize == 0 && extentCount > 1))
            r.fail();
        for (std::uint16_t e = 0; e < extentCount && c.ok() && r.ok; ++e) {
            (void)c.number(indexSize);
            Extent extent;
            extent.offsetField = r.at(c);
            extent.offset = c.number(offsetSize);
            extent.length = c.number(lengthSize);
            item.extents.push_back(extent);
        }
        item.located = true;
        if (!located.emplace(id, std::move(item)).second)
            r.fail(); // two places for one item
        if (located.size() > size_t(HeifBoxReader::maximumItems))
            r.fail();
    }
    if (!r.finish(c))
        return;
    for (auto& [id, place] : located) {
        Item* item = itemFor(r.meta, id);
        if (!item)
            return;
        place.type = item->type;
        place.properties = std::move(item->properties);
        *item = std::move(place);
    }
    r.meta.offsetSize = offsetSize;
    r.meta.lengthSize = lengthSize;
    r.meta.baseOffsetSize = baseOffsetSize;
    r.meta.hasLocations = true;
}

void readPropertyContainer(Cursor c, Reading r)
{
    std::vector<Property> properties;
    Box box;
    for (;;) {
        const std::size_t start = r.at(c);
        if (!c.ok() || !nextBox(c, box))
            break;
        if (properties.size() >= size_t(HeifBoxReader::maximumProperties)) {
            r.fail();
            break;
        }
        Property p;
        p.type = box.type;
        p.start = start;
        p.bodyStart = r.at(box.body);
        p.end = r.at(c);
        if (box.type == fourCC("ispe")) {
            std::uint8_t version = 0;
            fullBoxHeader(box.body, version);
            p.width = box.body.u32();
            p.height = box.body.u32();
            if (!box.body.ok())
                p.width = p.height = 0;
        } else if (box.type == fourCC("irot")) {
            p.rotation = (box.body.u8() & 3) * 90;
        } else if (box.type == fourCC("imir")) {
            p.mirrorAxis = box.body.u8() & 1;
        } else if (box.type == fourCC("clap")) {
            for (std::int32_t& v : p.clap)
                v = std::int32_t(box.body.u32());
            if (!box.body.ok())
                p.type = fourCC("bad!"); // never a size to crop to
        } else if (box.type == fourCC("colr")) {
            Cursor c = box.body;
            if (c.u32() == fourCC("nclx")) {
                (void)c.u16(); // colour primaries and transfer: the output is sRGB either way
                (void)c.u16();
                p.matrix = c.u16();
                p.fullRange = (c.u8() & 0x80) != 0;
                p.nclx = c.ok();
            }
        } else if (box.type == fourCC("pixi")) {
            std::uint8_t version = 0;
            fullBoxHeader(box.body, version);
            const int channels = box.body.u8();
            for (int i = 0; i < channels && box.body.ok(); ++i)
                p.maxBitDepth = std::max<int>(p.maxBitDepth, box.body.u8());
        } else if (box.type == fourCC("hvcC") || box.type == fourCC("auxC")) {
            p.body = box.body;
        }
        p.cutShort = !box.body.ok();
        properties.push_back(p);
    }
    if (c.left() != 0)
        r.fail();
    if (!r.finish(c))
        return;
    r.meta.properties = std::move(properties);
    r.meta.hasProperties = true;
}

void readPropertyAssociations(Cursor c, Reading r)
{
    std::uint8_t version = 0;
    const std::uint32_t flags = fullBoxHeader(c, version);
    if (version > 1)
        r.fail();
    const std::uint32_t count = r.ok ? c.u32() : 0;
    std::vector<std::pair<std::uint32_t, std::vector<std::uint16_t>>> entries;
    std::set<std::uint32_t> seen;
    for (std::uint32_t i = 0; i < count && c.ok(); ++i) {
        const std::uint32_t id = version < 1 ? c.u16() : c.u32();
        const std::uint8_t associations = c.u8();
        std::vector<std::uint16_t> indices;
        for (std::uint8_t a = 0; a < associations && c.ok(); ++a)
            if (flags & 1) {
                const std::uint16_t v = c.u16();
                indices.push_back(v);
            } else {
                const std::uint8_t v = c.u8();
                indices.push_back(std::uint16_t((v & 0x7f) | ((v & 0x80) ? essentialProperty : 0)));
            }
        if (!seen.insert(id).second || seen.size() > size_t(HeifBoxReader::maximumItems))
            r.fail(); // one item listed twice: which list holds?
        entries.emplace_back(id, std::move(indices));
    }
    if (c.left() != 0)
        r.fail();
    if (!r.finish(c))
        return;
    r.meta.associationVersion = version;
    r.meta.associationFlags = flags;
    for (auto& [id, indices] : entries) {
        Item* item = itemFor(r.meta, id);
        if (!item)
            return;
        item->properties = std::move(indices);
        r.meta.associationOrder.push_back(id);
    }
}

void readReferences(Cursor c, Reading r)
{
    std::uint8_t version = 0;
    fullBoxHeader(c, version);
    Meta found;
    std::set<std::pair<std::uint32_t, std::uint32_t>> thumbnails;
    Box box;
    size_t total = 0;
    while (c.ok() && nextBox(c, box)) {
        const std::uint32_t from = version == 0 ? box.body.u16() : box.body.u32();
        const std::uint16_t count = box.body.u16();
        std::vector<std::uint32_t> to;
        for (std::uint16_t i = 0; i < count && box.body.ok(); ++i)
            to.push_back(version == 0 ? box.body.u16() : box.body.u32());
        if (!box.body.ok()) {
            r.fail();
            break;
        }
        total += to.size();
        if (total > size_t(HeifBoxReader::maximumItems) * 4) {
            r.fail();
            break;
        }
        // Metadata describes exactly one image; more targets leave the item unassigned.
        if (box.type == fourCC("cdsc") && to.size() == 1) {
            found.describes.emplace(from, to.front());
        } else if (box.type == fourCC("thmb")) {
            for (const std::uint32_t id : to)
                if (thumbnails.emplace(from, id).second)
                    found.thumbnails.emplace(from, id);
        } else if (box.type == fourCC("auxl")) {
            for (const std::uint32_t id : to)
                found.auxiliary.emplace(from, id);
        } else if (box.type == fourCC("dimg") && !found.derived.count(from)) {
            found.derived.emplace(from, std::move(to));
        }
    }
    if (c.left() != 0)
        r.fail();
    if (!r.finish(c))
        return;
    r.meta.describes = std::move(found.describes);
    r.meta.thumbnails = std::move(found.thumbnails);
    r.meta.auxiliary = std::move(found.auxiliary);
    r.meta.derived = std::move(found.derived);
}

} // namespace

bool Meta::read(std::uint32_t box) const
{
    return std::find(unread.begin(), unread.end(), box) == unread.end();
}

Meta readMeta(Cursor c, const std::uint8_t* origin)
{
    Meta meta;
    if (!origin)
        origin = c.data();
    const auto reading = [&](const char(&type)[5]) { return Reading{meta, origin, fourCC(type)}; };
    std::uint8_t version = 0;
    fullBoxHeader(c, version);
    Box box;
    while (c.ok() && nextBox(c, box) && !meta.failed) {
        switch (box.type) {
        case fourCC("hdlr"): {
            std::uint8_t v = 0;
            fullBoxHeader(box.body, v);
            (void)box.body.u32(); // pre-defined
            meta.handlerIsPicture = box.body.u32() == fourCC("pict") && box.body.ok();
            break;
        }
        case fourCC("pitm"): {
            std::uint8_t v = 0;
            fullBoxHeader(box.body, v);
            const std::uint32_t id = v == 0 ? box.body.u16() : box.body.u32();
            if (box.body.ok())
                meta.primary = id;
            break;
        }
        case fourCC("iinf"): readItemInfo(box.body, reading("iinf")); break;
        case fourCC("iloc"): readLocations(box.body, reading("iloc")); break;
        case fourCC("iref"): readReferences(box.body, reading("iref")); break;
        case fourCC("idat"): meta.itemData = box.body; break;
        case fourCC("iprp"): {
            Box child;
            while (box.body.ok() && nextBox(box.body, child) && !meta.failed) {
                if (child.type == fourCC("ipco"))
                    readPropertyContainer(child.body, reading("ipco"));
                else if (child.type == fourCC("ipma"))
                    readPropertyAssociations(child.body, reading("ipma"));
            }
            break;
        }
        default: break;
        }
    }
    return meta;
}

namespace {

bool hasStillImageBrand(Cursor c)
{
    const std::uint32_t major = c.u32();
    (void)c.u32(); // minor version
    const auto isStill = [](std::uint32_t brand) {
        return brand == fourCC("heic") || brand == fourCC("heix") || brand == fourCC("mif1")
            || brand == fourCC("avif");
    };
    bool found = isStill(major);
    while (c.ok() && c.left() >= 4)
        found = isStill(c.u32()) || found;
    return found && c.ok();
}

} // namespace

std::optional<std::string> itemBytes(const ByteSource& source, const Item& item, const Meta& meta, std::uint64_t limit)
{
    if (item.dataReference != 0 || (item.constructionMethod != 0 && item.constructionMethod != 1))
        return std::nullopt;
    std::string bytes;
    for (const Extent& extent : item.extents) {
        if (extent.length == 0 || extent.length > limit - bytes.size()
            || extent.offset > std::uint64_t(INT64_MAX) - item.baseOffset)
            return std::nullopt;
        const std::uint64_t start = item.baseOffset + extent.offset;
        const size_t at = bytes.size();
        if (item.constructionMethod == 1) {
            if (start > meta.itemData.left() || extent.length > meta.itemData.left() - start)
                return std::nullopt;
            bytes.append(reinterpret_cast<const char*>(meta.itemData.data() + start), size_t(extent.length));
            continue;
        }
        if (start > std::uint64_t(source.size()) || extent.length > std::uint64_t(source.size()) - start)
            return std::nullopt;
        bytes.resize(at + size_t(extent.length));
        if (source.read(qint64(start), bytes.data() + at, qint64(extent.length)) != qint64(extent.length))
            return std::nullopt;
    }
    return bytes;
}

std::vector<std::uint8_t> readMetaBox(const ByteSource& source, bool& sawStillImageType)
{
    sawStillImageType = false;
    const qint64 fileSize = source.size();
    std::vector<std::uint8_t> metaBytes;
    qint64 offset = 0;
    // Top-level boxes: only their headers are read, so an 'mdat' before the 'meta' is skipped, not read.
    for (int n = 0; n < HeifBoxReader::maximumTopLevelBoxes && offset + 8 <= fileSize; ++n) {
        std::uint8_t header[16];
        const qint64 got = source.read(offset, header, std::min<qint64>(16, fileSize - offset));
        if (got < 8)
            break;
        isobox::BoxHeader box;
        if (isobox::readBoxHeader(header, size_t(got), std::uint64_t(fileSize - offset), box) != isobox::HeaderStatus::ok)
            break;
        const std::uint32_t type = box.type;
        const std::uint64_t size = box.size;
        const qint64 headerSize = box.headerSize;
        if (!sawStillImageType) {
            // The file-type box comes first, and is small.
            if (type != fourCC("ftyp") || size > 4096)
                return {};
            std::vector<std::uint8_t> body(size_t(size) - size_t(headerSize));
            if (source.read(offset + headerSize, body.data(), qint64(body.size())) != qint64(body.size())
                || !hasStillImageBrand(Cursor(body.data(), body.size())))
                return {};
            sawStillImageType = true;
        } else if (type == fourCC("meta")) {
            if (qint64(size) - headerSize > HeifBoxReader::maximumMetaBoxSize)
                return {};
            metaBytes.resize(size_t(size) - size_t(headerSize));
            if (source.read(offset + headerSize, metaBytes.data(), qint64(metaBytes.size())) != qint64(metaBytes.size()))
                return {};
            break;
        }
        offset += qint64(size);
    }
    return metaBytes;
}

bool declaresOversizedPicture(const Meta& meta)
{
    for (const Property& p : meta.properties)
        if (p.type == fourCC("ispe")
            && (p.width > mediaLimits::maximumSide || p.height > mediaLimits::maximumSide
                || std::uint64_t(p.width) * p.height > mediaLimits::maximumPixels))
            return true;
    return false;
}

} // namespace app::heifbox
