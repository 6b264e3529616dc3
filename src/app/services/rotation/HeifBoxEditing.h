#pragma once

#include "app/platform/metadata/IsoBoxWalker.h"
#include "app/services/rotation/OrientationEditing.h"

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The box layer of the HEIF orientation editor: box positions in the file, found by the shared box
// walker, bounds-checked reads of their fields, and writing them back. Every failure throws
// OrientationEditError.
namespace app::heifboxes {

using isobox::fourCC;

[[noreturn]] inline void fail(const char* what)
{
    throw OrientationEditError(std::string("HEIF 结构无法处理：") + what);
}

// Bounds-checked big-endian reads over [pos, end) that know where they are in the file.
class Reader {
public:
    Reader(std::string_view data, std::size_t pos, std::size_t end)
        : end_(end), c_(reinterpret_cast<const std::uint8_t*>(data.data()) + pos, end - pos)
    {
    }

    std::size_t pos() const { return end_ - c_.left(); }
    bool atEnd() const { return c_.left() == 0; }
    std::uint64_t uint(int bytes)
    {
        if (bytes < 0 || std::size_t(bytes) > c_.left())
            fail("数据提前结束");
        return c_.number(bytes);
    }
    std::uint8_t u8() { return std::uint8_t(uint(1)); }
    std::uint16_t u16() { return std::uint16_t(uint(2)); }
    std::uint32_t u32() { return std::uint32_t(uint(4)); }

private:
    std::size_t end_;
    isobox::Cursor c_;
};

struct Box {
    std::size_t start = 0;
    std::size_t header = 0;
    std::size_t end = 0;
    std::uint32_t type = 0;
    bool sizeToEnd = false;
    std::size_t payload() const { return start + header; }
};

inline std::vector<Box> children(std::string_view d, std::size_t from, std::size_t to)
{
    std::vector<Box> boxes;
    std::size_t at = from;
    while (at < to) {
        isobox::BoxHeader header;
        switch (isobox::readBoxHeader(reinterpret_cast<const std::uint8_t*>(d.data()) + at, to - at, to - at, header)) {
        case isobox::HeaderStatus::truncated: fail("数据提前结束");
        case isobox::HeaderStatus::badSize: fail("盒子大小无效");
        case isobox::HeaderStatus::ok: break;
        }
        Box box;
        box.start = at;
        box.type = header.type;
        box.header = header.headerSize;
        box.sizeToEnd = header.sizeToEnd;
        box.end = at + std::size_t(header.size);
        boxes.push_back(box);
        at = box.end;
    }
    return boxes;
}

inline std::optional<Box> only(const std::vector<Box>& boxes, std::uint32_t type)
{
    std::optional<Box> found;
    for (const Box& b : boxes) {
        if (b.type != type)
            continue;
        if (found)
            fail("同一种盒子出现多次");
        found = b;
    }
    return found;
}

inline void appendUint(std::string& out, std::uint64_t v, int bytes)
{
    for (int i = bytes - 1; i >= 0; --i)
        out.push_back(char((v >> (8 * i)) & 0xff));
}

inline void writeUint(std::string& out, std::size_t at, std::uint64_t v, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out[at + std::size_t(i)] = char((v >> (8 * (bytes - 1 - i))) & 0xff);
}

// A box with the original's header form (32-bit or 64-bit size) around a new payload.
inline std::string boxed(std::string_view d, const Box& original, std::string_view payload)
{
    std::string out;
    const std::uint64_t size = original.header + payload.size();
    if (original.header == 16) {
        appendUint(out, 1, 4);
        appendUint(out, original.type, 4);
        appendUint(out, size, 8);
    } else {
        if (size > std::numeric_limits<std::uint32_t>::max())
            fail("盒子超过 4 GB");
        appendUint(out, size, 4);
        appendUint(out, original.type, 4);
    }
    (void)d;
    out.append(payload);
    return out;
}

} // namespace app::heifboxes
