#include "p2p/transport/P2PService.h"

#include "p2p/protocol/messages/ProtocolVersion.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace p2p::P2PService {

Parameters makeParameters(bool includePeerToPeer)
{
    Parameters parameters;
    parameters.includePeerToPeer = includePeerToPeer;
    return parameters;
}

void applyParameters(const Parameters& parameters, asio::ip::tcp::socket& socket)
{
    asio::error_code ignored;
    socket.set_option(asio::ip::tcp::no_delay(parameters.noDelay), ignored);
    socket.set_option(asio::socket_base::keep_alive(parameters.keepAlive), ignored);
    const int fd = socket.native_handle();
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &parameters.keepAliveIdleSeconds, sizeof(int));
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &parameters.keepAliveIntervalSeconds, sizeof(int));
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &parameters.keepAliveProbeCount, sizeof(int));
}

std::string truncatedUTF8(std::string_view text, std::size_t maximumByteCount)
{
    if (text.size() <= maximumByteCount)
        return std::string(text);
    std::size_t end = maximumByteCount;
    // Step back over continuation bytes to the start of the cut sequence.
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end;
    return std::string(text.substr(0, end));
}

TXTRecord makeTXTRecord(const DeviceInfo& device)
{
    TXTRecord record;
    auto add = [&](std::string_view key, std::string_view value) {
        const std::size_t room = maximumTXTEntryByteCount - key.size() - 1;
        record.emplace_back(std::string(key), truncatedUTF8(value, room));
    };
    add(TXTKey::protocolVersion, std::to_string(ProtocolVersion::current));
    add(TXTKey::deviceName, device.name);
    add(TXTKey::deviceIdentifier, device.identifier);
    if (device.model)
        add(TXTKey::deviceModel, *device.model);
    return record;
}

} // namespace p2p::P2PService
