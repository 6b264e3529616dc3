#pragma once

#include <cstddef>
#include <cstdint>

// The one walker of ISO base media boxes (HEIF, MP4): every box the scanner, the HEIC decoder and
// the orientation editor walk is measured here against the room its parent leaves, and its fields
// are read by a cursor that never passes its span.
namespace app::isobox {

constexpr std::uint32_t fourCC(const char (&s)[5])
{
    return (std::uint32_t(std::uint8_t(s[0])) << 24) | (std::uint32_t(std::uint8_t(s[1])) << 16)
        | (std::uint32_t(std::uint8_t(s[2])) << 8) | std::uint32_t(std::uint8_t(s[3]));
}

struct BoxHeader {
    std::uint32_t type = 0;
    std::uint64_t size = 0;       // the whole box, header included
    std::uint32_t headerSize = 8; // 16 with a 64-bit size; a 'uuid' box's user type is the caller's
    bool sizeToEnd = false;       // size 0: the box runs to the end of its parent
};

enum class HeaderStatus {
    ok,
    truncated, // the header itself is cut short
    badSize,   // smaller than its header or larger than the room left
};

namespace detail {

inline std::uint64_t bigEndian(const std::uint8_t* p, int bytes)
{
    std::uint64_t v = 0;
    for (int i = 0; i < bytes; ++i)
        v = (v << 8) | p[i];
    return v;
}

} // namespace detail

// The header of the box at `at`, of which `available` bytes could be read; `room` is how many bytes
// the parent has from there to its end. On `ok` the box fits: headerSize <= size <= room.
inline HeaderStatus readBoxHeader(const std::uint8_t* at, std::size_t available, std::uint64_t room, BoxHeader& header)
{
    if (available > room)
        available = std::size_t(room);
    if (available < 8)
        return HeaderStatus::truncated;
    header = BoxHeader();
    header.size = detail::bigEndian(at, 4);
    header.type = std::uint32_t(detail::bigEndian(at + 4, 4));
    if (header.size == 1) {
        if (available < 16)
            return HeaderStatus::truncated;
        header.size = detail::bigEndian(at + 8, 8);
        header.headerSize = 16;
    } else if (header.size == 0) {
        header.size = room;
        header.sizeToEnd = true;
    }
    if (header.size < header.headerSize || header.size > room)
        return HeaderStatus::badSize;
    return HeaderStatus::ok;
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
inline bool nextBox(Cursor& parent, Box& box)
{
    BoxHeader header;
    if (readBoxHeader(parent.data(), parent.left(), parent.left(), header) != HeaderStatus::ok)
        return false;
    box.type = header.type;
    (void)parent.take(header.headerSize);
    std::uint64_t headerSize = header.headerSize;
    if (box.type == fourCC("uuid")) {
        (void)parent.take(16);
        headerSize += 16;
    }
    if (!parent.ok() || header.size < headerSize)
        return false;
    box.body = parent.take(header.size - headerSize);
    return parent.ok();
}

// Version and flags of a full box.
inline std::uint32_t fullBoxHeader(Cursor& c, std::uint8_t& version)
{
    const std::uint32_t v = c.u32();
    version = std::uint8_t(v >> 24);
    return v & 0xffffff;
}

} // namespace app::isobox
