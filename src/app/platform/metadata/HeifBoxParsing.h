#pragma once

// The items, properties and references of a HEIF 'meta' box, read with the shared box walker: the
// one reader of these boxes for the scanner's reader, the HEIC decoder and the orientation editor.
// A box it cannot read wholly adds nothing and is named in `unread`; what it read keeps the
// positions of its fields, for an editor that rewrites them.

#include "app/platform/metadata/IsoBoxWalker.h"
#include "app/platform/metadata/MetadataFile.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace app::heifbox {

using isobox::fourCC;
using isobox::Box;
using isobox::Cursor;
using isobox::fullBoxHeader;
using isobox::nextBox;

struct Extent {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    std::size_t offsetField = 0; // where the offset is written, from the origin
};

struct Item {
    std::uint32_t type = 0;
    bool located = false;
    int constructionMethod = 0;
    std::uint16_t dataReference = 0;
    std::uint64_t baseOffset = 0;
    std::size_t baseOffsetField = 0;
    std::vector<Extent> extents;
    // 1-based indices into the property container; the top bit marks an essential one.
    std::vector<std::uint16_t> properties;
};

constexpr std::uint16_t essentialProperty = 0x8000;

struct Property {
    std::uint32_t type = 0;
    std::size_t start = 0; // the box, from the origin
    std::size_t bodyStart = 0;
    std::size_t end = 0;
    bool cutShort = false; // a field it should hold is missing
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
    std::vector<std::uint32_t> unread; // the boxes that could not be read
    bool handlerIsPicture = false;
    std::optional<std::uint32_t> primary;
    bool hasLocations = false;
    bool hasItemInfo = false;
    bool hasProperties = false;
    std::map<std::uint32_t, Item> items;
    std::vector<Property> properties;
    std::multimap<std::uint32_t, std::uint32_t> describes; // 'cdsc' references: from item -> to item
    std::multimap<std::uint32_t, std::uint32_t> thumbnails; // 'thmb': thumbnail -> image, each pair once
    std::multimap<std::uint32_t, std::uint32_t> auxiliary;  // 'auxl': auxiliary image -> image
    std::map<std::uint32_t, std::vector<std::uint32_t>> derived; // 'dimg': grid -> tiles in order
    Cursor itemData;                                       // 'idat'
    // The item locations' field widths and the property associations' form, for writing them back.
    int offsetSize = 0, lengthSize = 0, baseOffsetSize = 0;
    int associationVersion = 0;
    std::uint32_t associationFlags = 0;
    std::vector<std::uint32_t> associationOrder; // items in the order 'ipma' lists them
    bool failed = false; // more items, properties or references than the limits allow

    bool read(std::uint32_t box) const;
};

// Whether any item declares ('ispe') a picture larger than a camera makes.
bool declaresOversizedPicture(const Meta& meta);

// The 'meta' box body from its version and flags on; positions are counted from `origin` (the
// body's own start when null).
Meta readMeta(Cursor c, const std::uint8_t* origin = nullptr);

// The bytes of a file's 'meta' box after its header, read without reading the 'mdat'; empty when
// there is none or it is over the limit. `sawStillImageType` tells whether a HEIF file-type box
// came first.
std::vector<std::uint8_t> readMetaBox(const ByteSource& source, bool& sawStillImageType);

// The data of an item, its extents joined, when it is at most `limit` bytes; nothing when it
// cannot be read within the limits.
std::optional<std::string> itemBytes(const ByteSource& source, const Item& item, const Meta& meta, std::uint64_t limit);

} // namespace app::heifbox
