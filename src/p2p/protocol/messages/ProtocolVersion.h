#pragma once

#include <cstdint>

namespace p2p::ProtocolVersion {

inline constexpr std::uint16_t current = 1;          // spoken and announced
inline constexpr std::uint16_t minimumSupported = 1; // oldest peer version accepted

constexpr bool isCompatible(std::uint16_t version)
{
    return minimumSupported <= version && version <= current;
}

// Returns when `peerVersion` is compatible; otherwise throws ProtocolError::incompatibleVersion.
void check(std::uint16_t peerVersion);

} // namespace p2p::ProtocolVersion
