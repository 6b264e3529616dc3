#pragma once

#include "app/services/rotation/OrientationEditing.h"

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The box layer of the HEIF orientation editor: bounds-checked reads of ISO base media boxes and
// writing them back. Every failure throws OrientationEditError.
namespace app::heifboxes {

constexpr std::uint32_t fourcc(const char (&s)[5])
{
    return std::uint32_t(std::uint8_t(s[0])) << 24 | std::uint32_t(std::uint8_t(s[1])) << 16 |
           std::uint32_t(std::uint8_t(s[2])) << 8 | std::uint32_t(std::uint8_t(s[3]));
}

[[noreturn]] inline void fail(const char* what)
{
    throw OrientationEditError(std::string("HEIF 结构无法处理：") + what);
}

// Bounds-checked big-endian reads over [pos, end).
class Reader {
public:
    Reader(std::string_view data, std::size_t pos, std::size_t end) : d_(data), pos_(pos), end_(end) {}

    std::size_t pos() const { return pos_; }
    bool atEnd() const { return pos_ >= end_; }
    std::uint64_t uint(int bytes)
    {
        if (bytes < 0 || std::size_t(bytes) > end_ - pos_)
            fail("数据提前结束");
        std::uint64_t v = 0;
        for (int i = 0; i < bytes; ++i)
            v = v << 8 | std::uint8_t(d_[pos_ + i]);
        pos_ += std::size_t(bytes);
        return v;
    }
    std::uint8_t u8() { return std::uint8_t(uint(1)); }
    std::uint16_t u16() { return std::uint16_t(uint(2)); }
    std::uint32_t u32() { return std::uint32_t(uint(4)); }

private:
    std::string_view d_;
    std::size_t pos_;
    std::size_t end_;
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
        Reader r(d, at, to);
        Box box;
        box.start = at;
        std::uint64_t size = r.u32();
        box.type = r.u32();
        box.header = 8;
        if (size == 1) {
            size = r.uint(8);
            box.header = 16;
        } else if (size == 0) {
            size = to - at;
            box.sizeToEnd = true;
        }
        if (size < box.header || size > to - at)
            fail("盒子大小无效");
        box.end = at + std::size_t(size);
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
