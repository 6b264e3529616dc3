#pragma once

#include <cstddef>
#include <cstdint>

// The one reader of ISO base media box headers (HEIF, MP4): every box the scanner, the HEIC
// decoder and the orientation editor walk is measured here, against the room its parent leaves.
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

} // namespace app::isobox
