#include "app/services/rotation/HeifOrientationEditor.h"

#include "app/platform/metadata/HeifBoxParsing.h"
#include "app/platform/metadata/HeifBoxReader.h"

#include "app/services/rotation/HeifBoxEditing.h"
#include "app/services/rotation/OrientationEditing.h"
#include "app/services/rotation/TiffOrientationEditor.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <vector>

namespace app {

namespace {

using namespace heifboxes;

struct Association {
    bool essential = false;
    std::uint16_t index = 0; // 1-based into ipco; 0 = none
};

struct IpmaEntry {
    std::uint32_t item = 0;
    std::vector<Association> associations;
};

struct Ipma {
    int version = 0;
    std::uint32_t flags = 0;
    std::vector<IpmaEntry> entries;
};

struct Extent {
    std::size_t offsetField = 0;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

struct IlocItem {
    std::uint32_t id = 0;
    int method = 0;
    std::uint16_t dataReference = 0;
    std::size_t baseField = 0;
    std::uint64_t base = 0;
    std::vector<Extent> extents;
};

struct Iloc {
    int offsetSize = 0;
    int lengthSize = 0;
    int baseSize = 0;
    std::vector<IlocItem> items;
};

// Everything of the file the editor reads, with positions in the original bytes.
struct Layout {
    std::vector<Box> top;
    Box meta;
    Box iprp;
    Box ipco;
    Box ipma;
    std::optional<Box> idat;
    std::vector<Box> properties;
    Ipma associations;
    Iloc iloc;
    std::uint32_t primary = 0;
    std::vector<std::uint32_t> targets; // the primary first, then its thumbnails
    std::optional<std::uint32_t> exifItem;
};

// Why the shared item-box reader left a box unread, in the editor's words.
[[noreturn]] void failUnread(std::uint32_t box)
{
    std::string name;
    for (int shift = 24; shift >= 0; shift -= 8)
        name.push_back(char((box >> shift) & 0xff));
    fail((name + " 无法完整读取").c_str());
}

Layout parse(std::string_view d)
{
    Layout l;
    l.top = children(d, 0, d.size());
    if (l.top.empty() || l.top.front().type != fourCC("ftyp"))
        fail("缺少 ftyp");
    const auto meta = only(l.top, fourCC("meta"));
    if (!meta)
        fail("缺少 meta");
    l.meta = *meta;
    if (l.meta.end - l.meta.payload() < 4)
        fail("meta 太短");
    const auto inMeta = children(d, l.meta.payload() + 4, l.meta.end);
    const auto pitm = only(inMeta, fourCC("pitm"));
    const auto iloc = only(inMeta, fourCC("iloc"));
    const auto iprp = only(inMeta, fourCC("iprp"));
    if (!pitm || !iloc || !iprp)
        fail("缺少 pitm、iloc 或 iprp");
    (void)only(inMeta, fourCC("iinf"));
    (void)only(inMeta, fourCC("iref"));
    l.idat = only(inMeta, fourCC("idat"));
    l.iprp = *iprp;
    const auto inIprp = children(d, l.iprp.payload(), l.iprp.end);
    const auto ipco = only(inIprp, fourCC("ipco"));
    const auto ipma = only(inIprp, fourCC("ipma"));
    if (!ipco || !ipma)
        fail("缺少 ipco 或 ipma");
    l.ipco = *ipco;
    l.ipma = *ipma;
    // Every box that can be walked is walked; the items inside them are the shared reader's.
    (void)children(d, l.ipco.payload(), l.ipco.end);

    const auto* origin = reinterpret_cast<const std::uint8_t*>(d.data());
    const heifbox::Meta items =
        heifbox::readMeta(isobox::Cursor(origin + l.meta.payload(), l.meta.end - l.meta.payload()), origin);
    if (!items.unread.empty())
        failUnread(items.unread.front());
    if (items.failed)
        fail("项目、属性或引用超过上限");
    if (!items.primary || !items.hasLocations || !items.hasProperties)
        fail("缺少 pitm、iloc 或 iprp");
    l.primary = *items.primary;

    for (const heifbox::Property& p : items.properties) {
        Box box;
        box.start = p.start;
        box.header = p.bodyStart - p.start;
        box.end = p.end;
        box.type = p.type == fourCC("bad!") ? fourCC("clap") : p.type;
        if ((p.type == fourCC("irot") || p.type == fourCC("imir")) && p.cutShort)
            fail("irot/imir 太短");
        l.properties.push_back(box);
    }
    l.associations.version = items.associationVersion;
    l.associations.flags = items.associationFlags;
    for (const std::uint32_t id : items.associationOrder) {
        IpmaEntry entry;
        entry.item = id;
        for (const std::uint16_t raw : items.items.at(id).properties)
            entry.associations.push_back(
                Association{(raw & heifbox::essentialProperty) != 0, std::uint16_t(raw & ~heifbox::essentialProperty)});
        l.associations.entries.push_back(std::move(entry));
    }
    l.iloc.offsetSize = items.offsetSize;
    l.iloc.lengthSize = items.lengthSize;
    l.iloc.baseSize = items.baseOffsetSize;
    for (const auto& [id, item] : items.items) {
        if (!item.located)
            continue;
        IlocItem located;
        located.id = id;
        located.method = item.constructionMethod;
        located.dataReference = item.dataReference;
        located.baseField = item.baseOffsetField;
        located.base = item.baseOffset;
        for (const heifbox::Extent& e : item.extents)
            located.extents.push_back(Extent{e.offsetField, e.offset, e.length});
        l.iloc.items.push_back(std::move(located));
        if (item.type == fourCC("Exif") && !l.exifItem)
            l.exifItem = id;
    }
    l.targets.push_back(l.primary);
    for (const auto& [from, to] : items.thumbnails)
        if (to == l.primary && from != l.primary)
            l.targets.push_back(from);
    // More thumbnails than any reader looks at: a turn could not show on them all.
    if (l.targets.size() > 1 + std::size_t(HeifBoxReader::maximumThumbnails))
        fail("缩略图太多");
    return l;
}

const IpmaEntry* entryOf(const Ipma& ipma, std::uint32_t item)
{
    for (const IpmaEntry& e : ipma.entries)
        if (e.item == item)
            return &e;
    return nullptr;
}

std::uint32_t propertyType(const Layout& l, std::uint16_t index)
{
    if (index == 0)
        return 0;
    if (index > l.properties.size())
        fail("属性编号超出 ipco");
    return l.properties[index - 1].type;
}

std::uint8_t propertyByte(std::string_view d, const Box& property)
{
    if (property.end - property.payload() < 1)
        fail("irot/imir 太短");
    return std::uint8_t(d[property.payload()]);
}

struct ItemState {
    HeifOrientationEditor::Transform transform;
    std::optional<std::size_t> irotAt; // position in the item's association list
    std::optional<std::size_t> imirAt;
};

ItemState stateOf(std::string_view d, const Layout& l, std::uint32_t item)
{
    ItemState s;
    const IpmaEntry* entry = entryOf(l.associations, item);
    if (!entry)
        return s;
    for (std::size_t i = 0; i < entry->associations.size(); ++i) {
        const std::uint16_t index = entry->associations[i].index;
        const std::uint32_t type = propertyType(l, index);
        if (type == fourCC("irot")) {
            if (s.irotAt)
                fail("一项有两个 irot");
            s.irotAt = i;
            s.transform.rotation = propertyByte(d, l.properties[index - 1]) & 3;
        } else if (type == fourCC("imir")) {
            if (s.imirAt)
                fail("一项有两个 imir");
            s.imirAt = i;
            s.transform.mirrored = true;
        }
    }
    s.transform.mirrorFirst = s.irotAt && s.imirAt && *s.imirAt < *s.irotAt;
    return s;
}

std::string serialise(const Ipma& ipma)
{
    std::uint32_t maxItem = 0;
    std::uint16_t maxIndex = 0;
    for (const IpmaEntry& e : ipma.entries) {
        maxItem = std::max(maxItem, e.item);
        for (const Association& a : e.associations)
            maxIndex = std::max(maxIndex, a.index);
    }
    const int version = maxItem > 0xffff ? 1 : ipma.version;
    const std::uint32_t flags = maxIndex > 0x7f ? (ipma.flags | 1) : ipma.flags;
    std::string out;
    appendUint(out, std::uint32_t(version) << 24 | flags, 4);
    appendUint(out, ipma.entries.size(), 4);
    for (const IpmaEntry& e : ipma.entries) {
        appendUint(out, e.item, version < 1 ? 2 : 4);
        if (e.associations.size() > 0xff)
            fail("一项的属性太多");
        appendUint(out, e.associations.size(), 1);
        for (const Association& a : e.associations) {
            if (flags & 1)
                appendUint(out, std::uint16_t(a.essential) << 15 | a.index, 2);
            else
                appendUint(out, std::uint8_t(a.essential) << 7 | a.index, 1);
        }
    }
    return out;
}

// Where the Exif block of the item lies in `file`, when it is one simple extent.
std::optional<std::pair<std::size_t, std::size_t>> exifSpan(const Layout& l, std::size_t fileSize,
                                                            std::ptrdiff_t shift, std::size_t shiftFrom)
{
    if (!l.exifItem)
        return std::nullopt;
    for (const IlocItem& item : l.iloc.items) {
        if (item.id != *l.exifItem || item.extents.size() != 1 || item.dataReference != 0)
            continue;
        std::uint64_t start = 0;
        if (item.method == 0) {
            start = item.base + item.extents[0].offset;
            if (start < item.base)
                return std::nullopt;
        } else if (item.method == 1 && l.idat) {
            start = l.idat->payload() + item.base + item.extents[0].offset;
        } else {
            return std::nullopt;
        }
        if (start >= shiftFrom)
            start += std::uint64_t(shift);
        const std::uint64_t length = item.extents[0].length;
        if (start > fileSize || (length != 0 && length > fileSize - start))
            return std::nullopt;
        return std::make_pair(std::size_t(start), length == 0 ? fileSize - std::size_t(start) : std::size_t(length));
    }
    return std::nullopt;
}

// Turns the Exif Orientation tag where it stands; an Exif block the editor cannot read is left.
void turnExif(std::string& file, std::pair<std::size_t, std::size_t> span, int quarterTurns)
{
    const auto [start, length] = span;
    if (length < 4)
        return;
    Reader r(file, start, start + length);
    const std::uint32_t headerOffset = r.u32();
    if (headerOffset > length - 4)
        return;
    char* tiff = file.data() + start + 4 + headerOffset;
    const std::size_t tiffSize = length - 4 - headerOffset;
    try {
        const auto current = TiffOrientationEditor::orientation(std::string_view(tiff, tiffSize));
        if (current)
            TiffOrientationEditor::patchExisting(tiff, tiffSize, ExifOrientation::clockwise(*current, quarterTurns));
    } catch (const OrientationEditError&) {
    }
}

} // namespace

bool HeifOrientationEditor::looksLikeHeif(std::string_view file)
{
    return file.size() >= 12 && file.substr(4, 4) == "ftyp";
}

std::map<std::uint32_t, HeifOrientationEditor::Transform> HeifOrientationEditor::transforms(std::string_view file)
{
    const Layout l = parse(file);
    std::map<std::uint32_t, Transform> out;
    for (std::uint32_t item : l.targets)
        out[item] = stateOf(file, l, item).transform;
    return out;
}

HeifOrientationEditor::Transform HeifOrientationEditor::turned(Transform t, int quarterTurns)
{
    const int n = quarterTurns & 3;
    // irot turns counter-clockwise. A mirror applied after the rotation reverses its sense.
    const bool reversed = t.mirrored && !t.mirrorFirst;
    t.rotation = (t.rotation + (reversed ? n : 4 - n)) & 3;
    return t;
}

std::string HeifOrientationEditor::rotated(std::string_view file, int quarterTurns)
{
    const int n = quarterTurns & 3;
    if (n == 0)
        return std::string(file);
    const Layout l = parse(file);

    // An irot is rewritten where it stands when every item using it turns to the same value, so
    // the file does not grow turn by turn; otherwise the turned items get one of their own and no
    // other item changes. -1: the irot cannot be rewritten.
    std::map<std::uint16_t, int> rewritten;
    for (const IpmaEntry& e : l.associations.entries) {
        const bool target = std::find(l.targets.begin(), l.targets.end(), e.item) != l.targets.end();
        for (const Association& a : e.associations) {
            if (a.index == 0 || a.index > l.properties.size() || l.properties[a.index - 1].type != fourCC("irot"))
                continue;
            const int next = target ? turned(stateOf(file, l, e.item).transform, n).rotation : -1;
            const auto [it, fresh] = rewritten.emplace(a.index, next);
            if (!fresh && it->second != next)
                it->second = -1;
        }
    }

    Ipma ipma = l.associations;
    std::string addedProperties;
    std::vector<std::pair<int, std::uint16_t>> addedIndices; // rotation → new property index
    std::vector<std::pair<std::size_t, int>> inPlace;        // irot payload position → rotation
    std::map<std::uint32_t, Transform> expected;

    for (std::uint32_t item : l.targets) {
        const ItemState state = stateOf(file, l, item);
        const Transform next = turned(state.transform, n);
        expected[item] = next;
        auto it = std::find_if(ipma.entries.begin(), ipma.entries.end(),
                               [&](const IpmaEntry& e) { return e.item == item; });
        if (state.irotAt) {
            const std::uint16_t index = it->associations[*state.irotAt].index;
            if (rewritten[index] >= 0) {
                inPlace.emplace_back(l.properties[index - 1].payload(), next.rotation);
                continue;
            }
        }
        std::uint16_t index = 0;
        for (const auto& [rotation, added] : addedIndices)
            if (rotation == next.rotation)
                index = added;
        if (index == 0) {
            const std::size_t count = l.properties.size() + addedIndices.size() + 1;
            if (count > 0x7fff)
                fail("属性太多");
            index = std::uint16_t(count);
            addedIndices.emplace_back(next.rotation, index);
            appendUint(addedProperties, 9, 4);
            appendUint(addedProperties, fourCC("irot"), 4);
            appendUint(addedProperties, std::uint8_t(next.rotation), 1);
        }
        if (it == ipma.entries.end()) {
            it = std::find_if(ipma.entries.begin(), ipma.entries.end(),
                              [&](const IpmaEntry& e) { return e.item > item; });
            it = ipma.entries.insert(it, IpmaEntry{item, {}});
        }
        if (state.irotAt) {
            it->associations[*state.irotAt].index = index;
        } else {
            // A rotation goes before an existing mirror, so the mirror applies last.
            const std::size_t at = state.imirAt.value_or(it->associations.size());
            it->associations.insert(it->associations.begin() + std::ptrdiff_t(at), Association{true, index});
        }
    }

    std::string out;
    std::ptrdiff_t shift = 0;
    const std::size_t shiftFrom = l.iprp.end;
    if (addedProperties.empty()) {
        out.assign(file);
    } else {
        // New iprp: its children in their order, ipco grown, ipma rewritten.
        std::string iprpPayload;
        for (const Box& child : children(file, l.iprp.payload(), l.iprp.end)) {
            if (child.start == l.ipco.start) {
                std::string payload(file.substr(l.ipco.payload(), l.ipco.end - l.ipco.payload()));
                payload += addedProperties;
                iprpPayload += boxed(file, l.ipco, payload);
            } else if (child.start == l.ipma.start) {
                iprpPayload += boxed(file, l.ipma, serialise(ipma));
            } else {
                iprpPayload += file.substr(child.start, child.end - child.start);
            }
        }
        const std::string iprp = boxed(file, l.iprp, iprpPayload);
        shift = std::ptrdiff_t(iprp.size()) - std::ptrdiff_t(l.iprp.end - l.iprp.start);
        for (const Box& box : l.top)
            if (box.type == fourCC("moov") && box.start >= shiftFrom)
                fail("图像序列的偏移无法移动");
        out.reserve(file.size() + std::size_t(shift));
        out.append(file.substr(0, l.iprp.start));
        out.append(iprp);
        out.append(file.substr(l.iprp.end));

        if (!l.meta.sizeToEnd) {
            const std::uint64_t metaSize = l.meta.end - l.meta.start + std::uint64_t(shift);
            if (l.meta.header == 16)
                writeUint(out, l.meta.start + 8, metaSize, 8);
            else if (metaSize > std::numeric_limits<std::uint32_t>::max())
                fail("meta 超过 4 GB");
            else
                writeUint(out, l.meta.start, metaSize, 4);
        }

        // Item data stored in the file after the grown box moves by the same amount.
        const auto moved = [&](std::size_t p) { return p >= shiftFrom ? p + std::size_t(shift) : p; };
        const auto fits = [](std::uint64_t v, int bytes) { return bytes == 8 || v <= 0xffffffffull; };
        for (const IlocItem& item : l.iloc.items) {
            if (item.method == 1 || item.method == 2 || item.dataReference != 0)
                continue;
            if (item.method != 0)
                fail("iloc 构造方式未知");
            if (item.base >= shiftFrom) {
                if (!fits(item.base + std::uint64_t(shift), l.iloc.baseSize))
                    fail("偏移溢出");
                writeUint(out, moved(item.baseField), item.base + std::uint64_t(shift), l.iloc.baseSize);
                continue;
            }
            for (const Extent& e : item.extents) {
                const std::uint64_t at = item.base + e.offset;
                if (at < item.base)
                    fail("偏移溢出");
                if (at >= l.iprp.start && at < shiftFrom)
                    fail("数据指向属性盒");
                if (at < shiftFrom)
                    continue;
                if (l.iloc.offsetSize == 0 || !fits(e.offset + std::uint64_t(shift), l.iloc.offsetSize))
                    fail("偏移溢出");
                writeUint(out, moved(e.offsetField), e.offset + std::uint64_t(shift), l.iloc.offsetSize);
            }
        }
        for (auto& [position, rotation] : inPlace)
            position = moved(position);
    }
    for (const auto& [position, rotation] : inPlace)
        out[position] = char(rotation);
    if (const auto span = exifSpan(l, out.size(), shift, shiftFrom))
        turnExif(out, *span, n);

    // The result must read back as intended before anyone writes it.
    if (transforms(out) != expected)
        fail("写回后读出的方向不一致");
    return out;
}

} // namespace app
