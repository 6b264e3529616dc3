#pragma once

#include "p2p/protocol/AsioSupport.h"
#include "p2p/transport/P2PService.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace p2p {

// Announces one DNS-SD service of P2PService::type. The advertiser's seam: Avahi in the program,
// a fake in unit tests.
class ServiceAnnouncer {
public:
    // Called on the executor given at creation, never after withdraw().
    struct Handlers {
        std::function<void(const std::string& name)> established; // announced under `name`
        std::function<void(const std::string& name)> renamed;     // a collision: trying `name` now
        std::function<void(const std::string& reason)> failed;    // the text for advertiserFailed
    };

    virtual ~ServiceAnnouncer() = default;
    // Throws TransportError::advertiserFailed when announcing cannot even begin (no daemon).
    virtual void announce(const std::string& name, std::uint16_t port, const P2PService::TXTRecord& txt,
        Handlers handlers) = 0;
    virtual void withdraw() = 0;
};

// The user's text when no avahi-daemon answers.
inline constexpr const char* noAvahiDaemonText = "无法广播本机服务。请确认已安装并启动 avahi-daemon。";

std::unique_ptr<ServiceAnnouncer> makeAvahiAnnouncer(asio::any_io_executor executor);

} // namespace p2p
