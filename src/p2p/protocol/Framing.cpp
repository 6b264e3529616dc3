#include "p2p/protocol/Framing.h"

#include "p2p/protocol/ProtocolError.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace p2p {

namespace {

// Consumed bytes are kept until they reach this much, so many small frames cost no copying.
constexpr std::size_t compactionThreshold = 65536;
// Frames with at least this much payload are filled in place once their header is in.
constexpr std::size_t directFillThreshold = 65536;

} // namespace

Bytes FrameEncoder::encode(std::uint8_t rawType, const Bytes& payload)
{
    const std::uint64_t length = static_cast<std::uint64_t>(payload.size()) + 1;
    if (length > std::numeric_limits<std::uint32_t>::max()) {
        throw std::length_error("payload too large for one frame");
    }
    Bytes frame;
    frame.reserve(payload.size() + 5);
    frame.push_back(static_cast<std::uint8_t>(length >> 24));
    frame.push_back(static_cast<std::uint8_t>(length >> 16));
    frame.push_back(static_cast<std::uint8_t>(length >> 8));
    frame.push_back(static_cast<std::uint8_t>(length));
    frame.push_back(rawType);
    frame.insert(frame.end(), payload.begin(), payload.end());
    return frame;
}

FrameDecoder::FrameDecoder(std::int64_t maximumFrameByteCount)
    : maximumFrameByteCount_(maximumFrameByteCount)
{
}

void FrameDecoder::append(const Bytes& bytes)
{
    append(bytes.data(), bytes.size());
}

void FrameDecoder::append(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) {
        return;
    }
    if (partialRemaining_ > 0) {
        const std::size_t take = std::min(size, partialRemaining_);
        partial_->payload.insert(partial_->payload.end(), data, data + take);
        partialRemaining_ -= take;
        data += take;
        size -= take;
    }
    buffer_.insert(buffer_.end(), data, data + size);
}

std::int64_t FrameDecoder::pendingByteCount() const
{
    const std::size_t partial = partial_ ? static_cast<std::size_t>(Framing::lengthPrefixByteCount + Framing::headerByteCount)
            + partial_->payload.size()
                                         : 0;
    return static_cast<std::int64_t>(buffer_.size() - readOffset_ + partial);
}

std::optional<FrameDecoder::Frame> FrameDecoder::nextFrame()
{
    if (partial_) {
        if (partialRemaining_ > 0) {
            return std::nullopt;
        }
        Frame frame = std::move(*partial_);
        partial_.reset();
        return frame;
    }
    const std::size_t pending = buffer_.size() - readOffset_;
    if (pending < static_cast<std::size_t>(Framing::lengthPrefixByteCount)) {
        compactIfNeeded();
        return std::nullopt;
    }
    // Byte by byte: the prefix may sit at any alignment.
    const std::uint8_t* head = buffer_.data() + readOffset_;
    const std::int64_t length = (static_cast<std::int64_t>(head[0]) << 24) | (static_cast<std::int64_t>(head[1]) << 16)
        | (static_cast<std::int64_t>(head[2]) << 8) | static_cast<std::int64_t>(head[3]);
    if (length < Framing::headerByteCount) {
        throw ProtocolError::emptyFrame();
    }
    // Decided from the prefix alone, before any of the body is buffered.
    if (length > maximumFrameByteCount_) {
        throw ProtocolError::frameTooLarge(length, maximumFrameByteCount_);
    }
    const std::size_t frameSize = static_cast<std::size_t>(Framing::lengthPrefixByteCount + length);
    if (pending < frameSize) {
        const std::size_t payloadSize = frameSize - 5;
        if (payloadSize >= directFillThreshold && pending >= 5) {
            partial_ = Frame{}; // not emplace(): clang decides Frame unconstructible inside its enclosing class
            partial_->type = head[4];
            partial_->payload.reserve(payloadSize);
            partial_->payload.assign(head + 5, head + pending);
            partialRemaining_ = frameSize - pending;
            readOffset_ = buffer_.size();
        }
        compactIfNeeded();
        return std::nullopt;
    }
    Frame frame;
    frame.type = head[4];
    frame.payload.assign(head + 5, head + frameSize);
    readOffset_ += frameSize;
    compactIfNeeded();
    return frame;
}

std::vector<FrameDecoder::Frame> FrameDecoder::drain()
{
    std::vector<Frame> frames;
    while (auto frame = nextFrame()) {
        frames.push_back(std::move(*frame));
    }
    return frames;
}

void FrameDecoder::compactIfNeeded()
{
    if (readOffset_ == 0) {
        return;
    }
    if (readOffset_ >= buffer_.size()) {
        buffer_.clear(); // keeps the storage
        readOffset_ = 0;
        return;
    }
    if (readOffset_ < compactionThreshold) {
        return;
    }
    buffer_ = Bytes(buffer_.begin() + static_cast<std::ptrdiff_t>(readOffset_), buffer_.end());
    readOffset_ = 0;
}

} // namespace p2p
