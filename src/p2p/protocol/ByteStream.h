#pragma once

#include "p2p/protocol/AsioSupport.h"
#include "p2p/protocol/Bytes.h"

#include <optional>

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

    // Ends the stream. Never throws; a second call does nothing more.
    virtual asio::awaitable<void> close() = 0;
};

} // namespace p2p
