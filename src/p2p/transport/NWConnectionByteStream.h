#pragma once

#include "p2p/protocol/streams/ByteStream.h"
#include "p2p/protocol/P2PLog.h"
#include "p2p/transport/TransportError.h"

#include <asio/ip/tcp.hpp>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace p2p {

// A ByteStream over one TCP connection: accepted by the advertiser (ready at once) or dialled by
// the browser (start() resolves and connects within its time-out). A send not written within the
// I/O time-out counts as a dead link: it fails with ioTimedOut, the socket is closed and a pending
// receive fails the same way. Receives have no time-out. Lives on one executor.
class NWConnectionByteStream final : public ByteStream {
public:
    // Finds the addresses to dial; runs when start() runs.
    using Resolve = std::function<asio::awaitable<std::vector<asio::ip::tcp::endpoint>>()>;

    static constexpr std::int64_t defaultMaximumReceiveByteCount = 65536;

    // An accepted, connected socket.
    NWConnectionByteStream(asio::ip::tcp::socket socket, std::int64_t maximumReceiveByteCount, double ioTimeout);
    // A connection still to dial; `endpointDescription` names it in logs.
    NWConnectionByteStream(asio::any_io_executor executor, std::string endpointDescription, Resolve resolve,
        std::int64_t maximumReceiveByteCount, double ioTimeout);
    ~NWConnectionByteStream() override;

    NWConnectionByteStream(const NWConnectionByteStream&) = delete;
    NWConnectionByteStream& operator=(const NWConnectionByteStream&) = delete;

    const std::string& endpointDescription() const { return endpointDescription_; }
    double ioTimeout() const { return ioTimeout_; }

    // Returns once connected; throws connectTimedOut after `timeout` seconds, connectionFailed when
    // dialling fails. Again after it returned: only waits (a failed stream throws its failure).
    asio::awaitable<void> start(double timeout);

    asio::awaitable<void> send(Bytes bytes) override;
    asio::awaitable<std::optional<Bytes>> receive() override;
    bool receivesInPlace() const override { return true; }
    asio::awaitable<std::optional<std::size_t>> receiveInto(std::span<std::uint8_t> into) override;
    asio::awaitable<void> close() override;

    asio::ip::tcp::socket& socket() { return socket_; }

    // Bytes already taken off the connection (the advertiser reads the first frame to see a hello):
    // the next receives give them before anything newer.
    void unread(Bytes bytes);

private:
    enum class Lifecycle { setup, ready, failed, closed };

    bool isTerminal() const { return lifecycle_ == Lifecycle::failed || lifecycle_ == Lifecycle::closed; }
    asio::awaitable<void> waitUntilReady();
    asio::awaitable<void> dial(std::weak_ptr<int> alive, Resolve resolve);
    void fail(TransportError error);
    void failIfNotReady(TransportError error);
    void resumeReadyWaiters();
    void wakeAtLeast(std::size_t wanted);
    // `promised`: the peer owes all of `into` (the rest of a frame it began), so a large read may
    // sleep until much of it arrived.
    asio::awaitable<std::optional<std::size_t>> readSome(std::span<std::uint8_t> into, bool promised);
    void armSendTimeout();
    void failSendIfStillPending();
    [[noreturn]] void throwFailure(const asio::error_code& error) const;

    asio::ip::tcp::socket socket_;
    std::string endpointDescription_;
    Resolve resolve_;
    std::int64_t maximumReceiveByteCount_;
    double ioTimeout_;
    Logger logger_;
    Lifecycle lifecycle_;
    std::optional<TransportError> failure_;
    bool isClosedLocally_ = false;
    bool startRunning_ = false;
    bool sendPending_ = false;
    std::uint64_t sendGeneration_ = 0; // of the send the timer watches
    // Reads into at least this much sleep until this much has arrived.
    static constexpr std::size_t largeReadByteCount = 128 * 1024;
    int receiveLowWatermark_ = 1;
    Bytes unread_;
    std::size_t unreadOffset_ = 0;
    asio::steady_timer readySignal_;
    asio::steady_timer connectTimer_;
    asio::steady_timer sendTimer_;
    // Timer handlers and the dialling task hold it weakly: once it is gone the stream is too.
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

} // namespace p2p
