#include "p2p/protocol/framing/Framing.h"
#include "p2p/protocol/ProtocolError.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <span>

using namespace p2p;

namespace {

Bytes lengthPrefix(std::uint32_t length)
{
    return Bytes{static_cast<std::uint8_t>(length >> 24), static_cast<std::uint8_t>(length >> 16),
        static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length)};
}

// A frame of exactly `totalBytes` bytes on the wire.
Bytes frameOfSize(std::size_t totalBytes, std::uint8_t type = 11)
{
    return FrameEncoder::encode(type, Bytes(totalBytes - 5, 0x5A));
}

template <typename F>
ProtocolError protocolErrorOf(F&& f)
{
    try {
        f();
    } catch (const ProtocolError& error) {
        return error;
    }
    ADD_FAILURE() << "no ProtocolError";
    return ProtocolError::emptyFrame();
}

} // namespace

TEST(FrameDecoder, WaitsForWholeFrames)
{
    const Bytes frame = FrameEncoder::encode(MessageType::pairingRequest, Bytes{'{', '}'});
    ASSERT_EQ(frame, (Bytes{0, 0, 0, 3, 3, '{', '}'}));

    // Nothing with 0 to 3 bytes, and nothing until the last byte of the frame.
    FrameDecoder decoder(1024);
    for (std::size_t i = 0; i + 1 < frame.size(); ++i) {
        decoder.append(Bytes{frame[i]});
        EXPECT_FALSE(decoder.nextFrame()) << "after byte " << i;
        EXPECT_EQ(decoder.pendingByteCount(), static_cast<std::int64_t>(i + 1));
    }
    decoder.append(Bytes{frame.back()});
    const auto decoded = decoder.nextFrame();
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, (FrameDecoder::Frame{3, Bytes{'{', '}'}}));
    EXPECT_EQ(decoder.pendingByteCount(), 0);
    EXPECT_FALSE(decoder.nextFrame());

    // Two frames and the start of a third in one piece come out in order.
    Bytes piece = FrameEncoder::encode(MessageType::ping, {});
    const Bytes second = FrameEncoder::encode(MessageType::fileChunk, Bytes{1, 2, 3});
    piece.insert(piece.end(), second.begin(), second.end());
    piece.insert(piece.end(), {0, 0});
    decoder.append(piece);
    decoder.append(Bytes{});
    const auto frames = decoder.drain();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0], (FrameDecoder::Frame{15, {}}));
    EXPECT_EQ(frames[1], (FrameDecoder::Frame{11, Bytes{1, 2, 3}}));
    EXPECT_EQ(decoder.pendingByteCount(), 2);
}

TEST(FrameDecoder, RefusesBadLengthsFromThePrefixAlone)
{
    struct Case {
        const char* name;
        std::int64_t limit;
        std::uint32_t length;
        bool accepted;
    };
    const std::vector<Case> cases = {
        {"length at the limit", 10, 10, true},
        {"one above the limit", 10, 11, false},
        {"largest length field", 10, 0xFFFFFFFFu, false},
        {"default limit", 8388608, 8388608, true},
        {"default limit + 1", 8388608, 8388609, false},
        {"before pairing", Framing::preAuthenticationMaximumFrameByteCount, 65537, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FrameDecoder decoder(c.limit);
        decoder.append(lengthPrefix(c.length));
        if (c.accepted) {
            EXPECT_FALSE(decoder.nextFrame()); // waits for the body
            decoder.append(Bytes(c.length, 7));
            const auto frame = decoder.nextFrame();
            ASSERT_TRUE(frame);
            EXPECT_EQ(frame->payload.size(), c.length - 1);
        } else {
            // Twice: the offending prefix is not consumed.
            for (int call = 0; call < 2; ++call) {
                EXPECT_EQ(protocolErrorOf([&] { decoder.nextFrame(); }),
                    ProtocolError::frameTooLarge(c.length, c.limit));
            }
            EXPECT_EQ(decoder.pendingByteCount(), 4);
        }
    }

    FrameDecoder decoder(100);
    decoder.append(lengthPrefix(0));
    EXPECT_EQ(protocolErrorOf([&] { decoder.nextFrame(); }), ProtocolError::emptyFrame());
    EXPECT_EQ(protocolErrorOf([&] { decoder.drain(); }), ProtocolError::emptyFrame());
}

TEST(FrameDecoder, LimitIsRaisedAfterPairing)
{
    FrameDecoder decoder(Framing::preAuthenticationMaximumFrameByteCount);
    decoder.append(frameOfSize(200000));
    EXPECT_EQ(protocolErrorOf([&] { decoder.nextFrame(); }).kind(), ProtocolError::Kind::frameTooLarge);
    decoder.setMaximumFrameByteCount(8388608);
    EXPECT_EQ(decoder.maximumFrameByteCount(), 8388608);
    const auto frame = decoder.nextFrame();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->payload.size(), 200000u - 5);
}

TEST(FrameDecoder, CompactsOnlyAfter64KiBConsumed)
{
    struct Case {
        std::size_t consumed;
        std::int64_t prefixAfter;
    };
    // Unread bytes behind the consumed frame keep the prefix until it reaches 65,536 bytes.
    for (const Case c : {Case{65535, 65535}, Case{65536, 0}, Case{100, 100}}) {
        SCOPED_TRACE(c.consumed);
        FrameDecoder decoder(1 << 20);
        decoder.append(frameOfSize(c.consumed));
        decoder.append(Bytes{0, 0});
        ASSERT_TRUE(decoder.nextFrame());
        EXPECT_EQ(decoder.consumedPrefixByteCount(), c.prefixAfter);
        EXPECT_EQ(decoder.pendingByteCount(), 2);
    }

    // Everything consumed: the buffer is emptied at once.
    FrameDecoder decoder(1 << 20);
    decoder.append(frameOfSize(100));
    ASSERT_TRUE(decoder.nextFrame());
    EXPECT_EQ(decoder.consumedPrefixByteCount(), 0);

    // Many small frames, then the tail of the stream, still decode in order across compactions.
    FrameDecoder many(1 << 20);
    Bytes stream;
    for (int i = 0; i < 30000; ++i) {
        const Bytes frame = FrameEncoder::encode(11, Bytes{static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i >> 8)});
        stream.insert(stream.end(), frame.begin(), frame.end());
    }
    int next = 0;
    for (std::size_t at = 0; at < stream.size(); at += 4093) {
        const std::size_t end = std::min(stream.size(), at + 4093);
        many.append(stream.data() + at, end - at);
        for (const auto& frame : many.drain()) {
            ASSERT_EQ(frame.payload, (Bytes{static_cast<std::uint8_t>(next), static_cast<std::uint8_t>(next >> 8)}));
            ++next;
        }
    }
    EXPECT_EQ(next, 30000);
    EXPECT_EQ(many.pendingByteCount(), 0);
}

TEST(FrameDecoder, LargeFramesArriveWholeWhateverThePieces)
{
    // A large frame filled in place, a small one and another large one, cut into pieces of every
    // kind of size; the bytes still pending are counted across the frame being filled.
    Bytes big(300000);
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<std::uint8_t>(i * 7 + (i >> 9));
    const Bytes small{9, 8, 7};
    Bytes stream = FrameEncoder::encode(11, big);
    for (const Bytes& payload : {small, big}) {
        const Bytes frame = FrameEncoder::encode(11, payload);
        stream.insert(stream.end(), frame.begin(), frame.end());
    }
    // Read in place (as from a socket, at most a piece per read), a large frame's bytes after its
    // header land in the payload handed out, not in the buffer first.
    for (const bool inPlace : {false, true}) {
        for (const std::size_t pieceSize : {std::size_t{1}, std::size_t{5}, std::size_t{4093}, std::size_t{65536}, stream.size()}) {
            SCOPED_TRACE(testing::Message() << pieceSize << (inPlace ? " in place" : ""));
            FrameDecoder decoder(1 << 20);
            std::vector<Bytes> payloads;
            std::vector<std::pair<std::uintptr_t, std::size_t>> reads; // where each read went
            std::size_t readIntoPayloads = 0;
            std::int64_t handedOut = 0;
            for (std::size_t at = 0; at < stream.size();) {
                std::size_t count = std::min(pieceSize, stream.size() - at);
                if (inPlace) {
                    const std::span<std::uint8_t> window = decoder.receiveWindow();
                    count = std::min(count, window.size());
                    std::copy_n(stream.data() + at, count, window.data());
                    reads.emplace_back(reinterpret_cast<std::uintptr_t>(window.data()), count);
                    decoder.received(count);
                } else {
                    decoder.append(stream.data() + at, count);
                }
                at += count;
                for (FrameDecoder::Frame& frame : decoder.drain()) {
                    handedOut += static_cast<std::int64_t>(frame.payload.size()) + 5;
                    const auto begin = reinterpret_cast<std::uintptr_t>(frame.payload.data());
                    for (const auto& [where, n] : reads) {
                        if (where >= begin && where < begin + frame.payload.size())
                            readIntoPayloads += n;
                    }
                    payloads.push_back(std::move(frame.payload));
                }
                ASSERT_EQ(decoder.pendingByteCount(), static_cast<std::int64_t>(at) - handedOut);
            }
            EXPECT_EQ(payloads, (std::vector<Bytes>{big, small, big}));
            if (inPlace && pieceSize > 1) // the first bytes of each large payload may come with its header
                EXPECT_GE(readIntoPayloads, 2 * (big.size() - std::min<std::size_t>(pieceSize, 65536)));
        }
    }
}
