#pragma once

// The bounded box walk behind HeifBoxReader: big-endian reads that never pass their span, and the
// items, properties and references of a HEIF 'meta' box. Internal to the reader's sources.

#include "app/platform/metadata/MetadataFile.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace app::heifbox {

constexpr std::uint32_t fourCC(const char (&s)[5])
{
    return (std::uint32_t(std::uint8_t(s[0])) << 24) | (std::uint32_t(std::uint8_t(s[1])) << 16)
        | (std::uint32_t(std::uint8_t(s[2])) << 8) | std::uint32_t(std::uint8_t(s[3]));
}

// Big-endian reads inside a span; a read past the end sets `ok` to false and yields zeros.
class Cursor {
public:
    Cursor() = default;
    Cursor(const std::uint8_t* data, size_t size) : data_(data), left_(size) {}

    bool ok() const { return ok_; }
    size_t left() const { return left_; }
    const std::uint8_t* data() const { return data_; }

    std::uint64_t number(int bytes)
    {
        if (!ok_ || size_t(bytes) > left_) {
            ok_ = false;
            left_ = 0;
            return 0;
        }
        std::uint64_t v = 0;
        for (int i = 0; i < bytes; ++i)
            v = (v << 8) | data_[i];
        data_ += bytes;
        left_ -= size_t(bytes);
        return v;
    }
    std::uint8_t u8() { return std::uint8_t(number(1)); }
    std::uint16_t u16() { return std::uint16_t(number(2)); }
    std::uint32_t u32() { return std::uint32_t(number(4)); }
    std::uint64_t u64() { return number(8); }

    // The next `size` bytes as a cursor of their own.
    Cursor take(std::uint64_t size)
    {
        if (!ok_ || size > left_) {
            ok_ = false;
            left_ = 0;
            return Cursor();
        }
        Cursor part(data_, size_t(size));
        data_ += size;
        left_ -= size_t(size);
        return part;
    }

private:
    const std::uint8_t* data_ = nullptr;
    size_t left_ = 0;
    bool ok_ = true;
};

struct Box {
    std::uint32_t type = 0;
    Cursor body;
};

// The next child box; false at the end or on a box that does not fit its parent.
bool nextBox(Cursor& parent, Box& box);

// Version and flags of a full box.
std::uint32_t fullBoxHeader(Cursor& c, std::uint8_t& version);

struct Extent {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

struct Item {
    std::uint32_t type = 0;
    bool located = false;
    int constructionMethod = 0;
    std::uint16_t dataReference = 0;
    std::uint64_t baseOffset = 0;
    std::vector<Extent> extents;
    // 1-based indices into the property container; the top bit marks an essential one.
    std::vector<std::uint16_t> properties;
};

constexpr std::uint16_t essentialProperty = 0x8000;

struct Property {
    std::uint32_t type = 0;
    std::uint32_t width = 0; // ispe
    std::uint32_t height = 0;
    int rotation = 0;   // irot, degrees counter-clockwise
    int mirrorAxis = 0; // imir
    std::int32_t clap[8] = {}; // clap: width, height, horizontal and vertical offset, each a fraction
    bool nclx = false;         // colr of type nclx
    int matrix = 2;            // its matrix coefficients (2: unspecified)
    bool fullRange = false;
    int maxBitDepth = 0;   // pixi
    Cursor body;           // hvcC and auxC: the box's body
};

struct Meta {
    bool handlerIsPicture = false;
    std::optional<std::uint32_t> primary;
    bool hasLocations = false;
    bool hasItemInfo = false;
    bool hasProperties = false;
    std::map<std::uint32_t, Item> items;
    std::vector<Property> properties;
    std::multimap<std::uint32_t, std::uint32_t> describes; // 'cdsc' references: from item -> to item
    std::multimap<std::uint32_t, std::uint32_t> thumbnails; // 'thmb': thumbnail -> image
    std::multimap<std::uint32_t, std::uint32_t> auxiliary;  // 'auxl': auxiliary image -> image
    std::map<std::uint32_t, std::vector<std::uint32_t>> derived; // 'dimg': grid -> tiles in order
    Cursor itemData;                                       // 'idat'
    bool failed = false;
};

Meta readMeta(Cursor c);

// The bytes of a file's 'meta' box after its header, read without reading the 'mdat'; empty when
// there is none or it is over the limit. `sawStillImageType` tells whether a HEIF file-type box
// came first.
std::vector<std::uint8_t> readMetaBox(const ByteSource& source, bool& sawStillImageType);

// The data of an item, its extents joined, when it is at most `limit` bytes; nothing when it
// cannot be read within the limits.
std::optional<std::string> itemBytes(const ByteSource& source, const Item& item, const Meta& meta, std::uint64_t limit);

} // namespace app::heifbox
