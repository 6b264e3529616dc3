#pragma once

#include "p2p/protocol/streams/ByteStream.h"
#include "p2p/protocol/P2PLog.h"
#include "p2p/transport/P2PService.h"
#include "p2p/transport/TransportError.h"

#include <asio/ip/tcp.hpp>

#include <functional>
#include <memory>
#include <optional>

namespace p2p {

// The phone's end of the wired road: a TCP listener on all IPv4 addresses that hands each accepted
// connection over as a POSIXSocketByteStream, one session at a time. The desktop never creates
// one; the test phone does. Lives on one executor.
class WiredPeerListener {
public:
    using ConnectionHandler = std::function<void(std::unique_ptr<ByteStream>)>;
    using FailureHandler = std::function<void(const TransportError&)>;

    // `port` 0 lets the system choose (tests).
    explicit WiredPeerListener(asio::any_io_executor executor, std::uint16_t port = P2PService::wiredTCPPort);
    ~WiredPeerListener();

    WiredPeerListener(const WiredPeerListener&) = delete;
    WiredPeerListener& operator=(const WiredPeerListener&) = delete;

    // The listening port, none while idle.
    std::optional<std::uint16_t> port() const { return port_; }

    // Returns once the socket listens; throws wiredListenFailed. While listening it returns at once
    // and keeps the first handlers.
    asio::awaitable<void> start(ConnectionHandler onConnection, FailureHandler onFailure = {});
    // Stops accepting; a stream already handed over belongs to its owner and keeps working.
    void stop();
    // The session handed over has ended: the next connection is taken.
    void sessionDidEnd() { hasActiveSession_ = false; }

private:
    asio::awaitable<void> acceptLoop(std::weak_ptr<int> alive);
    void handleAccepted(asio::ip::tcp::socket socket);

    asio::any_io_executor executor_;
    std::uint16_t requestedPort_;
    Logger logger_;
    std::optional<asio::ip::tcp::acceptor> acceptor_;
    ConnectionHandler connectionHandler_;
    FailureHandler failureHandler_;
    bool hasActiveSession_ = false;
    bool isAccepting_ = false;
    std::optional<std::uint16_t> port_;
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

} // namespace p2p
