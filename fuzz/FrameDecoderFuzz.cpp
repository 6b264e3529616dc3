// Arbitrary bytes -> FrameDecoder -> MessageCoder::decode. Every decoded message must survive
// encoding and decoding again unchanged; anything else that goes wrong must be a ProtocolError.
#include "p2p/protocol/framing/Framing.h"
#include "p2p/protocol/framing/MessageCoder.h"
#include "p2p/protocol/ProtocolError.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

using namespace p2p;

namespace {

void checkRoundTrip(const Message& message)
{
    FrameDecoder again(1LL << 32);
    again.append(MessageCoder::encode(message));
    auto frame = again.nextFrame();
    if (!frame || again.pendingByteCount() != 0 || !(MessageCoder::decode(std::move(*frame)) == message)) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The pre-pairing limit, as a stranger on the network meets it.
    FrameDecoder decoder(Framing::preAuthenticationMaximumFrameByteCount);
    // Feed in pieces of a size derived from the input, so partial frames are exercised too.
    const std::size_t piece = size == 0 ? 1 : static_cast<std::size_t>(data[0] % 61) + 1;
    for (std::size_t at = 0; at < size; at += piece) {
        decoder.append(data + at, std::min(piece, size - at));
        for (;;) {
            std::optional<FrameDecoder::Frame> frame;
            try {
                frame = decoder.nextFrame();
            } catch (const ProtocolError&) {
                return 0; // the stream is unusable from here on
            }
            if (!frame) {
                break;
            }
            try {
                checkRoundTrip(MessageCoder::decode(std::move(*frame)));
            } catch (const ProtocolError&) {
                // refused frame; the next one may still be fine
            }
        }
    }
    return 0;
}
