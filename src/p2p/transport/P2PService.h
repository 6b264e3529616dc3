#pragma once

#include "p2p/protocol/AsioSupport.h"
#include "p2p/protocol/messages/DeviceInfo.h"

#include <asio/ip/tcp.hpp>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace p2p::P2PService {

inline constexpr std::string_view type = "_kalvenstroud._tcp";
inline constexpr std::string_view domain = "local.";
inline constexpr std::uint16_t wiredTCPPort = 47077;

namespace TXTKey {
inline constexpr std::string_view protocolVersion = "v";
inline constexpr std::string_view deviceName = "n";
inline constexpr std::string_view deviceIdentifier = "id";
inline constexpr std::string_view deviceModel = "m";
} // namespace TXTKey

// DNS-SD caps one TXT string and one instance-name label.
inline constexpr std::size_t maximumTXTEntryByteCount = 255;
inline constexpr std::size_t maximumServiceNameByteCount = 63;

// TCP options of every accepted or dialled connection.
struct Parameters {
    bool noDelay = true;
    bool keepAlive = true;
    int keepAliveIdleSeconds = 5;
    int keepAliveIntervalSeconds = 5;
    int keepAliveProbeCount = 3;
    // Peer-to-peer links have no Linux counterpart: kept for callers, it changes nothing.
    bool includePeerToPeer = false;
    friend bool operator==(const Parameters&, const Parameters&) = default;
};

Parameters makeParameters(bool includePeerToPeer);
// Sets the options on an open socket; a refused option is ignored (the link still works without it).
void applyParameters(const Parameters& parameters, asio::ip::tcp::socket& socket);

// Key/value pairs in wire order.
using TXTRecord = std::vector<std::pair<std::string, std::string>>;
// v, n, id and, when the device has one, m; each "key=value" cut to 255 bytes at a UTF-8 boundary.
TXTRecord makeTXTRecord(const DeviceInfo& device);

// The longest prefix of `text` of at most `maximumByteCount` bytes that does not split a UTF-8 sequence.
std::string truncatedUTF8(std::string_view text, std::size_t maximumByteCount);

} // namespace p2p::P2PService
