#include "p2p/protocol/streams/FramedMessageChannel.h"

#include "p2p/protocol/framing/MessageCoder.h"

#include <algorithm>
#include <cassert>

namespace p2p {

FramedMessageChannel::FramedMessageChannel(std::unique_ptr<ByteStream> stream, const SessionConfiguration& configuration)
    : stream_(std::move(stream))
    , configuredMaximum_(configuration.maximumFrameByteCount)
    , decoder_(std::min(configuration.maximumFrameByteCount, Framing::preAuthenticationMaximumFrameByteCount))
{
}

asio::awaitable<void> FramedMessageChannel::send(Message message)
{
    Bytes frame = MessageCoder::encode(message);
    co_await stream_->send(std::move(frame));
}

asio::awaitable<std::optional<Message>> FramedMessageChannel::receive()
{
    // One reader at a time: a second reader would steal pieces of the first one's frames.
    assert(!readerActive_);
    readerActive_ = true;
    struct ReaderDone {
        bool& flag;
        ~ReaderDone() { flag = false; }
    } done{readerActive_};

    for (;;) {
        if (!decoded_.empty()) {
            Message next = std::move(decoded_.front());
            decoded_.pop_front();
            co_return std::optional<Message>(std::move(next));
        }
        if (stream_->receivesInPlace()) {
            // Straight into the frame's payload, or into the decoder's one buffer: no copy.
            std::optional<std::size_t> count = co_await stream_->receiveInto(decoder_.receiveWindow());
            if (!count)
                co_return std::nullopt; // a frame cut off by the end is dropped silently
            if (*count == 0)
                continue;
            decoder_.received(*count);
        } else {
            std::optional<Bytes> piece = co_await stream_->receive();
            if (!piece)
                co_return std::nullopt;
            if (piece->empty())
                continue;
            decoder_.append(*piece);
        }
        std::vector<FrameDecoder::Frame> frames = decoder_.drain();
        // Decode the whole piece before handing anything out: one bad frame drops the piece.
        std::deque<Message> messages;
        for (FrameDecoder::Frame& frame : frames)
            messages.push_back(MessageCoder::decode(std::move(frame)));
        decoded_ = std::move(messages);
    }
}

asio::awaitable<void> FramedMessageChannel::close()
{
    co_await stream_->close();
}

void FramedMessageChannel::setMaximumFrameByteCount(std::int64_t limit)
{
    decoder_.setMaximumFrameByteCount(limit);
}

} // namespace p2p
