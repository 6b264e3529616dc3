#pragma once

#include "p2p/protocol/Bytes.h"
#include "p2p/protocol/framing/Framing.h"
#include "p2p/protocol/messages/Messages.h"

#include <cstddef>

namespace p2p {

// Message <-> whole frame. Stateless; callable from any thread.
struct MessageCoder {
    // JSON payloads are nested at most this deep; deeper input is refused before it is built.
    static constexpr int maximumJsonDepth = 32;
    // Beyond a small allowance, a payload may hold at most one container per this many bytes and one
    // value (or member) per this many; real records stay far below both, and the parsed tree of a
    // payload that passes stays within a small multiple of its size.
    static constexpr std::size_t minimumBytesPerContainer = 16;
    static constexpr std::size_t minimumBytesPerValue = 4;

    static Bytes encode(const Message& message);
    // Throws ProtocolError: unknownMessageType (type 0, 17+) or malformedPayload.
    static Message decode(const FrameDecoder::Frame& frame);
    // Same, moving a chunk's payload instead of copying it.
    static Message decode(FrameDecoder::Frame&& frame);
};

} // namespace p2p
