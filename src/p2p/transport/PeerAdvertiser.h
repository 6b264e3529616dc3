#pragma once

#include "p2p/protocol/AsioSupport.h"
#include "p2p/protocol/messages/DeviceInfo.h"
#include "p2p/protocol/P2PLog.h"
#include "p2p/transport/GreetingGate.h"
#include "p2p/transport/NWConnectionByteStream.h"
#include "p2p/transport/ServiceAnnouncer.h"
#include "p2p/transport/TransportError.h"

#include <asio/ip/tcp.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace p2p {

// The desktop's side of the wireless road: a TCP listener on a port the system picks, announced as
// "_kalvenstroud._tcp" under the device's name with its TXT record, handing each accepted connection
// to its owner once it has said hello, one phone at a time. The port is open to the whole network:
// a connection takes the session slot only with a valid hello; until then it is one of a few
// waiting ones (GreetingGate), so silent or reconnecting strangers never keep the phone out.
// Lives on one executor; the destructor stops it.
class PeerAdvertiser {
public:
    // The stream gives the hello that was read to let it in again as its first bytes.
    using ConnectionHandler = std::function<void(std::unique_ptr<NWConnectionByteStream>)>;
    using FailureHandler = std::function<void(const TransportError&)>;

    static constexpr std::chrono::seconds defaultStartTimeout {10};
    static constexpr std::chrono::seconds defaultHandshakeTimeout {15};

    PeerAdvertiser(asio::any_io_executor executor, DeviceInfo device, bool includePeerToPeer,
        std::chrono::milliseconds handshakeTimeout = defaultHandshakeTimeout);
    // With another announcer, start and handshake time-outs (tests).
    PeerAdvertiser(asio::any_io_executor executor, DeviceInfo device, bool includePeerToPeer,
        std::unique_ptr<ServiceAnnouncer> announcer, std::chrono::milliseconds startTimeout = defaultStartTimeout,
        std::chrono::milliseconds handshakeTimeout = defaultHandshakeTimeout);
    ~PeerAdvertiser();

    PeerAdvertiser(const PeerAdvertiser&) = delete;
    PeerAdvertiser& operator=(const PeerAdvertiser&) = delete;

    // The announced port once ready; none before and after stop().
    std::optional<std::uint16_t> port() const { return port_; }
    // The instance name as announced, after any rename for a collision.
    const std::string& serviceName() const { return serviceName_; }

    // Listens, announces and returns once both are ready; throws advertiserFailed (the advertiser is
    // then stopped, so a later start begins afresh). While started it returns at once and keeps the
    // first handlers. `onFailure` hears of problems after ready.
    asio::awaitable<void> start(ConnectionHandler onConnection, FailureHandler onFailure = {});
    // Stops listening and announcing and closes the connections that have not said hello; a start
    // still waiting throws "广播已取消". A stream already handed out belongs to its owner.
    void stop();
    // The session handed out has ended: the next phone is taken.
    void sessionDidEnd() { hasActiveSession_ = false; }

private:
    asio::awaitable<void> acceptLoop(std::weak_ptr<int> alive);
    void accept(asio::ip::tcp::socket socket);
    void handleFailure(const std::string& reason);
    void finishStart(std::optional<TransportError> failure);

    asio::any_io_executor executor_;
    DeviceInfo device_;
    bool includePeerToPeer_;
    std::unique_ptr<ServiceAnnouncer> announcer_;
    std::chrono::milliseconds startTimeout_;
    Logger logger_;
    // Refusals and strangers: at most a line a second, however many come.
    ThrottledLog strangers_;
    GreetingGate greetings_;
    std::optional<asio::ip::tcp::acceptor> acceptor_;
    ConnectionHandler connectionHandler_;
    FailureHandler failureHandler_;
    bool hasActiveSession_ = false;
    bool isReady_ = false;
    bool startWaiting_ = false;
    std::optional<TransportError> startFailure_;
    std::optional<std::uint16_t> port_;
    std::string serviceName_;
    asio::steady_timer readySignal_;
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

} // namespace p2p
