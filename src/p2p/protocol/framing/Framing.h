#pragma once

#include "p2p/protocol/Bytes.h"
#include "p2p/protocol/messages/Messages.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace p2p {

// Frame: 4-byte big-endian length (type byte + payload), 1 type byte, payload.
namespace Framing {
inline constexpr std::int64_t lengthPrefixByteCount = 4;
inline constexpr std::int64_t headerByteCount = 1;
// Frame limit while the peer has not yet proven itself with the pairing code.
inline constexpr std::int64_t preAuthenticationMaximumFrameByteCount = 64 * 1024;
} // namespace Framing

struct FrameEncoder {
    // One whole frame; no size check (the receiving decoder enforces the limit).
    static Bytes encode(std::uint8_t rawType, const Bytes& payload);
    static Bytes encode(MessageType type, const Bytes& payload) { return encode(rawValue(type), payload); }
};

// Cuts a byte stream into frames. One owner; no locking.
class FrameDecoder {
public:
    struct Frame {
        std::uint8_t type = 0; // as received, not yet checked
        Bytes payload;
        friend bool operator==(const Frame&, const Frame&) = default;
    };

    explicit FrameDecoder(std::int64_t maximumFrameByteCount);

    void append(const Bytes& bytes);
    void append(const std::uint8_t* data, std::size_t size);
    // For streams that read in place: where the next bytes should go (the rest of a large frame's
    // payload once its header is in, else the free end of one reused buffer), then how many came.
    std::span<std::uint8_t> receiveWindow();
    void received(std::size_t count);
    std::int64_t pendingByteCount() const;
    // Bytes already consumed but still held before the unread ones (until compaction).
    std::int64_t consumedPrefixByteCount() const { return static_cast<std::int64_t>(readOffset_); }

    // The next whole frame, or none while the bytes do not yet hold one. Throws ProtocolError
    // (emptyFrame, frameTooLarge) without consuming anything, so the next call throws again.
    std::optional<Frame> nextFrame();
    // Every whole frame now buffered, in order.
    std::vector<Frame> drain();

    std::int64_t maximumFrameByteCount() const { return maximumFrameByteCount_; }
    // The limit is raised once the peer is trusted (small frames before pairing).
    void setMaximumFrameByteCount(std::int64_t limit) { maximumFrameByteCount_ = limit; }

private:
    void compactIfNeeded();
    void reserveTail(std::size_t size);

    Bytes buffer_; // storage; bytes [readOffset_, end_) are unread
    std::size_t readOffset_ = 0;
    std::size_t end_ = 0;
    bool lastFilledInPlace_ = false;
    std::int64_t maximumFrameByteCount_;
    // A large frame whose header is known is filled straight from the appended pieces, so its bytes
    // are copied once instead of through the buffer.
    std::optional<Frame> partial_;
    std::size_t partialRemaining_ = 0;
};

} // namespace p2p
