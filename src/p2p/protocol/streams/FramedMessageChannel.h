#pragma once

#include "p2p/protocol/streams/ByteStream.h"
#include "p2p/protocol/framing/Framing.h"
#include "p2p/protocol/streams/MessageChannel.h"
#include "p2p/protocol/messages/SessionConfiguration.h"

#include <deque>
#include <memory>

namespace p2p {

// The MessageChannel over a ByteStream: frames and codes outgoing messages,
// decodes incoming pieces. Owns its stream.
//
// Incoming frames are limited to 64 KiB (Framing::preAuthenticationMaximumFrameByteCount,
// or the configuration's limit when smaller) until the owner raises the limit with
// setMaximumFrameByteCount() once the peer is trusted; maximumFrameByteCountAfterPairing()
// is the configuration's value for that.
class FramedMessageChannel final : public MessageChannel {
public:
    FramedMessageChannel(std::unique_ptr<ByteStream> stream, const SessionConfiguration& configuration);

    // The frame goes to the stream in one send. A coding error is thrown before anything is written.
    asio::awaitable<void> send(Message message) override;
    // Throws the stream's errors and ProtocolError for bad input.
    asio::awaitable<std::optional<Message>> receive() override;
    asio::awaitable<void> close() override;

    void setMaximumFrameByteCount(std::int64_t limit) override;
    std::int64_t maximumFrameByteCount() const { return decoder_.maximumFrameByteCount(); }
    std::int64_t maximumFrameByteCountAfterPairing() const { return configuredMaximum_; }

    // Messages decoded and not yet handed out.
    std::size_t pendingMessageCount() const { return decoded_.size(); }
    ByteStream& stream() { return *stream_; }

private:
    std::unique_ptr<ByteStream> stream_;
    std::int64_t configuredMaximum_;
    FrameDecoder decoder_;
    std::deque<Message> decoded_;
    bool readerActive_ = false;
};

} // namespace p2p
