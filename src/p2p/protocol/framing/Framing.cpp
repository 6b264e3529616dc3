#include "p2p/protocol/framing/Framing.h"

#include "p2p/protocol/ProtocolError.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace p2p {

namespace {

// Consumed bytes are kept until they reach this much, so many small frames cost no copying.
constexpr std::size_t compactionThreshold = 65536;
// Frames with at least this much payload are filled in place once their header is in.
constexpr std::size_t directFillThreshold = 65536;
// What one read from the stream may bring into the buffer.
constexpr std::size_t receiveWindowByteCount = 65536;

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
        std::memcpy(partial_->payload.data() + (partial_->payload.size() - partialRemaining_), data, take);
        partialRemaining_ -= take;
        data += take;
        size -= take;
    }
    if (size == 0) {
        return;
    }
    reserveTail(size);
    std::memcpy(buffer_.data() + end_, data, size);
    end_ += size;
}

std::span<std::uint8_t> FrameDecoder::receiveWindow()
{
    if (partialRemaining_ > 0) {
        return {partial_->payload.data() + (partial_->payload.size() - partialRemaining_), partialRemaining_};
    }
    // After a frame filled in place the next one is most likely large too: take its header alone,
    // so that none of its payload lands in the buffer and has to be copied out again.
    const std::size_t size = lastFilledInPlace_ && end_ == readOffset_
        ? static_cast<std::size_t>(Framing::lengthPrefixByteCount + Framing::headerByteCount)
        : receiveWindowByteCount;
    reserveTail(size);
    return {buffer_.data() + end_, size};
}

void FrameDecoder::received(std::size_t count)
{
    if (partialRemaining_ > 0) {
        partialRemaining_ -= std::min(count, partialRemaining_);
    } else {
        end_ = std::min(end_ + count, buffer_.size());
    }
}

void FrameDecoder::reserveTail(std::size_t size)
{
    if (buffer_.size() - end_ >= size) {
        return;
    }
    if (readOffset_ > 0) { // room at the front first
        std::memmove(buffer_.data(), buffer_.data() + readOffset_, end_ - readOffset_);
        end_ -= readOffset_;
        readOffset_ = 0;
    }
    if (buffer_.size() - end_ < size) {
        buffer_.resize(end_ + size); // grows rarely: the storage is kept for the stream's life
    }
}

std::int64_t FrameDecoder::pendingByteCount() const
{
    const std::size_t partial = partial_ ? static_cast<std::size_t>(Framing::lengthPrefixByteCount + Framing::headerByteCount)
            + partial_->payload.size() - partialRemaining_
                                         : 0;
    return static_cast<std::int64_t>(end_ - readOffset_ + partial);
}

std::optional<FrameDecoder::Frame> FrameDecoder::nextFrame()
{
    if (partial_) {
        if (partialRemaining_ > 0) {
            return std::nullopt;
        }
        Frame frame = std::move(*partial_);
        partial_.reset();
        lastFilledInPlace_ = true;
        return frame;
    }
    const std::size_t pending = end_ - readOffset_;
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
            partial_->payload.resize(payloadSize);
            std::memcpy(partial_->payload.data(), head + 5, pending - 5);
            partialRemaining_ = frameSize - pending;
            readOffset_ = end_;
        }
        compactIfNeeded();
        return std::nullopt;
    }
    Frame frame;
    frame.type = head[4];
    frame.payload.assign(head + 5, head + frameSize);
    readOffset_ += frameSize;
    lastFilledInPlace_ = false;
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
    if (readOffset_ >= end_) {
        end_ = 0; // keeps the storage
        readOffset_ = 0;
        return;
    }
    if (readOffset_ < compactionThreshold) {
        return;
    }
    std::memmove(buffer_.data(), buffer_.data() + readOffset_, end_ - readOffset_);
    end_ -= readOffset_;
    readOffset_ = 0;
}

} // namespace p2p
