#pragma once

#include "p2p/protocol/AsioSupport.h"
#include "p2p/protocol/Bytes.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace p2p {

// A two-way stream of bytes between this computer and a peer.
// All operations run on the transfer thread's executor.
class ByteStream {
public:
    virtual ~ByteStream() = default;

    // Delivers the bytes to the peer, in order with earlier sends.
    virtual asio::awaitable<void> send(Bytes bytes) = 0;

    // The next piece from the peer, of any size; an empty piece means "nothing
    // this time, read again"; no value means end of stream.
    // Not safe to race against a cancellation: close the stream instead.
    virtual asio::awaitable<std::optional<Bytes>> receive() = 0;

    // Streams over a socket read straight into the caller's memory: the next bytes from the
    // peer, at most `into.size()`, with the count (0: read again) or no value at end of stream,
    // as receive(). The others say no here and are read with receive(). A window of 128 KiB or
    // more is the rest of a frame the peer began: it may wait until much of it arrived.
    virtual bool receivesInPlace() const { return false; }
    virtual asio::awaitable<std::optional<std::size_t>> receiveInto(std::span<std::uint8_t> into)
    {
        (void)into;
        co_return std::nullopt;
    }

    // Ends the stream. Never throws; a second call does nothing more.
    virtual asio::awaitable<void> close() = 0;
};

} // namespace p2p
