#pragma once

#include "p2p/protocol/streams/ByteStream.h"
#include "p2p/protocol/P2PLog.h"

#include <asio/generic/stream_protocol.hpp>

namespace p2p {

// A ByteStream over a connected stream socket (the multiplexer's tunnel, a wired connection).
// The socket belongs to Asio from construction on, so close() cancels pending reads and writes and
// the descriptor number is never used again. Errors carry the Linux errno: "write 失败：32".
class POSIXSocketByteStream final : public ByteStream {
public:
    static constexpr std::int64_t defaultMaximumReceiveByteCount = 65536;

    // Takes ownership of `fileDescriptor`; a negative or unusable one gives a stream whose every
    // send and receive fails with notReady.
    POSIXSocketByteStream(asio::any_io_executor executor, int fileDescriptor,
        std::int64_t maximumReceiveByteCount = defaultMaximumReceiveByteCount);
    POSIXSocketByteStream(asio::generic::stream_protocol::socket socket,
        std::int64_t maximumReceiveByteCount = defaultMaximumReceiveByteCount);
    ~POSIXSocketByteStream() override;

    POSIXSocketByteStream(const POSIXSocketByteStream&) = delete;
    POSIXSocketByteStream& operator=(const POSIXSocketByteStream&) = delete;

    asio::awaitable<void> send(Bytes bytes) override;
    asio::awaitable<std::optional<Bytes>> receive() override;
    bool receivesInPlace() const override { return true; }
    asio::awaitable<std::optional<std::size_t>> receiveInto(std::span<std::uint8_t> into) override;
    asio::awaitable<void> close() override;

    bool isClosed() const { return isClosed_; }
    // -1 once closed or when the stream never had a socket.
    int fileDescriptor();

private:
    bool isUsable() const { return !isClosed_ && socket_.is_open(); }

    asio::generic::stream_protocol::socket socket_;
    std::int64_t maximumReceiveByteCount_;
    Logger logger_;
    bool isClosed_ = false;
};

} // namespace p2p
