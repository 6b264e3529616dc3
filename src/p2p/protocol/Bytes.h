#pragma once

#include <cstdint>
#include <vector>

namespace p2p {

// Every buffer of the transfer code. Chunks are moved along, never copied per chunk.
using Bytes = std::vector<std::uint8_t>;

} // namespace p2p
