#pragma once

#include "p2p/protocol/AsioSupport.h"
#include "p2p/protocol/messages/Messages.h"

#include <cstdint>
#include <optional>

namespace p2p {

// A two-way channel of whole protocol messages; the receiving session speaks only to this.
// One reader at a time.
class MessageChannel {
public:
    virtual ~MessageChannel() = default;

    virtual asio::awaitable<void> send(Message message) = 0;
    // The next message; no value at end of stream (also when a frame was cut off).
    virtual asio::awaitable<std::optional<Message>> receive() = 0;
    // Closes the underlying stream; never throws.
    virtual asio::awaitable<void> close() = 0;

    // Raises (or lowers) the largest accepted incoming frame. Channels without a
    // frame limit ignore it.
    virtual void setMaximumFrameByteCount(std::int64_t /*limit*/) {}
};

} // namespace p2p
