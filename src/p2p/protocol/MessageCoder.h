#pragma once

#include "p2p/protocol/Bytes.h"
#include "p2p/protocol/Framing.h"
#include "p2p/protocol/Messages.h"

namespace p2p {

// Message <-> whole frame. Stateless; callable from any thread.
struct MessageCoder {
    // JSON payloads are nested at most this deep; deeper input is refused before it is built.
    static constexpr int maximumJsonDepth = 32;

    static Bytes encode(const Message& message);
    // Throws ProtocolError: unknownMessageType (type 0, 17+) or malformedPayload.
    static Message decode(const FrameDecoder::Frame& frame);
    // Same, moving a chunk's payload instead of copying it.
    static Message decode(FrameDecoder::Frame&& frame);
};

} // namespace p2p
