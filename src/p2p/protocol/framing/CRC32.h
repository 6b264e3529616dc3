#pragma once

#include "p2p/protocol/Bytes.h"

#include <cstddef>
#include <cstdint>

namespace p2p {

// Streaming CRC-32 (ISO-HDLC / IEEE 802.3: reflected, polynomial 0xEDB88320, init and final xor
// 0xFFFFFFFF), the checksum of file contents. Feeding in pieces equals feeding whole.
class CRC32 {
public:
    void update(const std::uint8_t* data, std::size_t size);
    void update(const Bytes& bytes) { update(bytes.data(), bytes.size()); }
    std::uint32_t value() const { return state_ ^ 0xFFFFFFFFu; }
    void reset() { state_ = 0xFFFFFFFFu; }

    static std::uint32_t value(const Bytes& bytes);

private:
    std::uint32_t state_ = 0xFFFFFFFFu;
};

// The two implementations behind CRC32, exposed for the benchmark and the tests. Both take and
// return the running register (not inverted).
namespace crc32detail {
std::uint32_t updateSliceBy8(std::uint32_t state, const std::uint8_t* data, std::size_t size);
// Carry-less-multiply folding; only call when hasFoldingSupport().
std::uint32_t updateFolding(std::uint32_t state, const std::uint8_t* data, std::size_t size);
bool hasFoldingSupport();
} // namespace crc32detail

} // namespace p2p
