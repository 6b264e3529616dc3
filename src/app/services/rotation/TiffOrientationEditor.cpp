#include "app/services/rotation/TiffOrientationEditor.h"

#include "app/services/rotation/OrientationEditing.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

namespace app {

namespace {

constexpr std::uint16_t kOrientationTag = 274;
constexpr std::uint16_t kShort = 3;
constexpr std::uint16_t kLong = 4;

class TiffView {
public:
    TiffView(const char* data, std::size_t size) : data_(reinterpret_cast<const unsigned char*>(data)), size_(size)
    {
        if (size < 8)
            throw OrientationEditError("TIFF 文件头不完整");
        if (std::memcmp(data, "II*\0", 4) == 0)
            little_ = true;
        else if (std::memcmp(data, "MM\0*", 4) == 0)
            little_ = false;
        else
            throw OrientationEditError("不是 TIFF 结构");
        ifd0_ = u32(4);
        if (ifd0_ < 8 || ifd0_ % 2 != 0 || !fits(ifd0_, 2))
            throw OrientationEditError("IFD0 的位置无效");
        count_ = u16(ifd0_);
        if (!fits(ifd0_ + 2, std::size_t(count_) * 12 + 4))
            throw OrientationEditError("IFD0 超出文件末尾");
    }

    bool little() const { return little_; }
    std::size_t ifd0() const { return ifd0_; }
    std::uint16_t count() const { return count_; }
    std::size_t entry(std::size_t i) const { return ifd0_ + 2 + i * 12; }

    std::uint16_t u16(std::size_t at) const
    {
        return little_ ? std::uint16_t(data_[at] | data_[at + 1] << 8) : std::uint16_t(data_[at] << 8 | data_[at + 1]);
    }
    std::uint32_t u32(std::size_t at) const
    {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i)
            v |= std::uint32_t(data_[at + (little_ ? i : 3 - i)]) << (8 * i);
        return v;
    }

    // Offset of IFD0's orientation entry, when it has one.
    std::optional<std::size_t> orientationEntry() const
    {
        for (std::size_t i = 0; i < count_; ++i)
            if (u16(entry(i)) == kOrientationTag)
                return entry(i);
        return std::nullopt;
    }

    int valueAt(std::size_t entryAt) const
    {
        const std::uint16_t type = u16(entryAt + 2);
        if (u32(entryAt + 4) != 1 || (type != kShort && type != kLong))
            throw OrientationEditError("方向标签的类型无法识别");
        return type == kShort ? u16(entryAt + 8) : int(std::min<std::uint32_t>(u32(entryAt + 8), 0xffff));
    }

private:
    bool fits(std::size_t at, std::size_t length) const { return at <= size_ && length <= size_ - at; }

    const unsigned char* data_;
    std::size_t size_;
    bool little_ = true;
    std::size_t ifd0_ = 0;
    std::uint16_t count_ = 0;
};

void put16(char* at, std::uint16_t v, bool little)
{
    at[little ? 0 : 1] = char(v & 0xff);
    at[little ? 1 : 0] = char(v >> 8);
}

void put32(char* at, std::uint32_t v, bool little)
{
    for (int i = 0; i < 4; ++i)
        at[little ? i : 3 - i] = char((v >> (8 * i)) & 0xff);
}

} // namespace

int ExifOrientation::clockwise(int orientation)
{
    switch (orientation) {
    case 1: return 6;
    case 6: return 3;
    case 3: return 8;
    case 8: return 1;
    case 2: return 7;
    case 7: return 4;
    case 4: return 5;
    case 5: return 2;
    default: return 6;
    }
}

int ExifOrientation::clockwise(int orientation, int quarterTurns)
{
    for (int i = 0; i < (quarterTurns & 3); ++i)
        orientation = clockwise(orientation);
    return orientation;
}

bool TiffOrientationEditor::looksLikeTiff(std::string_view bytes)
{
    return bytes.size() >= 8 && (bytes.substr(0, 4) == std::string_view("II*\0", 4) ||
                                 bytes.substr(0, 4) == std::string_view("MM\0*", 4));
}

std::optional<int> TiffOrientationEditor::orientation(std::string_view tiff)
{
    const TiffView view(tiff.data(), tiff.size());
    const auto at = view.orientationEntry();
    if (!at)
        return std::nullopt;
    return view.valueAt(*at);
}

bool TiffOrientationEditor::patchExisting(char* tiff, std::size_t size, int value)
{
    const TiffView view(tiff, size);
    const auto at = view.orientationEntry();
    if (!at)
        return false;
    view.valueAt(*at); // refuses types it cannot write
    if (view.u16(*at + 2) == kShort)
        put16(tiff + *at + 8, std::uint16_t(value), view.little());
    else
        put32(tiff + *at + 8, std::uint32_t(value), view.little());
    return true;
}

void TiffOrientationEditor::setOrientation(std::string& file, int value)
{
    if (patchExisting(file.data(), file.size(), value))
        return;
    const TiffView view(file.data(), file.size());
    if (view.count() == std::numeric_limits<std::uint16_t>::max())
        throw OrientationEditError("IFD0 已满");
    // Entries stay sorted by tag; values stored elsewhere keep their absolute offsets.
    std::vector<std::string> entries;
    for (std::size_t i = 0; i < view.count(); ++i)
        entries.emplace_back(file, view.entry(i), 12);
    std::string added(12, '\0');
    put16(added.data(), kOrientationTag, view.little());
    put16(added.data() + 2, kShort, view.little());
    put32(added.data() + 4, 1, view.little());
    put16(added.data() + 8, std::uint16_t(value), view.little());
    const auto tagOf = [&](const std::string& e) {
        const auto* p = reinterpret_cast<const unsigned char*>(e.data());
        return view.little() ? (p[0] | p[1] << 8) : (p[0] << 8 | p[1]);
    };
    const auto pos = std::find_if(entries.begin(), entries.end(),
                                  [&](const std::string& e) { return tagOf(e) > kOrientationTag; });
    entries.insert(pos, added);

    const std::uint32_t next = view.u32(view.entry(view.count()));
    const bool little = view.little();
    std::string ifd(2, '\0');
    put16(ifd.data(), std::uint16_t(entries.size()), little);
    for (const auto& e : entries)
        ifd += e;
    ifd.append(4, '\0');
    put32(ifd.data() + ifd.size() - 4, next, little);

    const std::size_t at = file.size() + (file.size() % 2);
    if (at + ifd.size() > std::numeric_limits<std::uint32_t>::max())
        throw OrientationEditError("文件超过 4 GB");
    file.resize(at, '\0');
    file += ifd;
    put32(file.data() + 4, std::uint32_t(at), little);
}

} // namespace app
