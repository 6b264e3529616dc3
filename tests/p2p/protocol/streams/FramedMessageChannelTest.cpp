#include "p2p/protocol/streams/FramedMessageChannel.h"
#include "p2p/protocol/streams/InMemoryByteStream.h"
#include "p2p/protocol/framing/MessageCoder.h"
#include "p2p/protocol/ProtocolError.h"
#include "support/p2p/RunAwaitable.h"

#include <gtest/gtest.h>

using namespace p2p;
using p2p::testing::runAwaitable;

namespace {

Message sampleHello()
{
    Hello hello;
    hello.protocolVersion = 1;
    hello.device.name = "手机";
    hello.device.identifier = "ID-1";
    return hello;
}

Message sampleChunk(std::size_t size)
{
    FileChunk chunk;
    chunk.bytes.assign(size, 0xAB);
    return chunk;
}

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

struct Pair {
    asio::io_context io;
    std::unique_ptr<InMemoryByteStream> raw;     // the peer's end, written by hand
    std::unique_ptr<FramedMessageChannel> channel;

    explicit Pair(std::optional<std::int64_t> chunkLimit = std::nullopt,
        SessionConfiguration configuration = SessionConfiguration::defaults())
    {
        auto [a, b] = InMemoryByteStream::makePair(io.get_executor(), chunkLimit);
        channel = std::make_unique<FramedMessageChannel>(std::move(a), configuration);
        raw = std::move(b);
    }

    void peerSends(Bytes bytes) { runAwaitable(io, raw->send(std::move(bytes))); }
    std::optional<Message> receive() { return runAwaitable(io, channel->receive()); }
};

} // namespace

TEST(FramedMessageChannelTest, MessagesArriveWholeWhateverThePieces)
{
    // A limit of 1 sends every byte as its own piece; the channel still yields whole messages.
    asio::io_context io;
    auto [a, b] = InMemoryByteStream::makePair(io.get_executor(), 1);
    FramedMessageChannel sender(std::move(a), SessionConfiguration::defaults());
    FramedMessageChannel receiver(std::move(b), SessionConfiguration::defaults());
    runAwaitable(io, sender.send(sampleHello()));
    runAwaitable(io, sender.send(sampleChunk(300)));
    runAwaitable(io, sender.close());
    EXPECT_EQ(runAwaitable(io, receiver.receive()), sampleHello());
    EXPECT_EQ(runAwaitable(io, receiver.receive()), sampleChunk(300));
    EXPECT_EQ(runAwaitable(io, receiver.receive()), std::nullopt);

    // Three frames in one piece: three messages, the last two without another read.
    Pair pair;
    Message ping = Ping();
    Message pong = Pong();
    pair.peerSends(concat({MessageCoder::encode(ping), MessageCoder::encode(sampleHello()), MessageCoder::encode(pong)}));
    EXPECT_EQ(pair.receive(), ping);
    EXPECT_EQ(pair.channel->pendingMessageCount(), 2u);
    pair.raw->closeNow(); // further reads would see the end; these two come from the list
    EXPECT_EQ(pair.receive(), sampleHello());
    EXPECT_EQ(pair.receive(), pong);
    EXPECT_EQ(pair.receive(), std::nullopt);
}

TEST(FramedMessageChannelTest, EndsAndFaultsOfTheIncomingBytes)
{
    {
        // Half a frame, then the peer closes: an ordinary end, not an error.
        Pair pair;
        Bytes frame = MessageCoder::encode(sampleHello());
        frame.resize(frame.size() / 2);
        pair.peerSends(frame);
        pair.raw->closeNow();
        EXPECT_EQ(pair.receive(), std::nullopt);
    }
    {
        // An empty piece is no progress: the channel reads on.
        Pair pair;
        pair.peerSends(Bytes{});
        Message ping = Ping();
        pair.peerSends(MessageCoder::encode(ping));
        EXPECT_EQ(pair.receive(), ping);
    }
    {
        // A good frame and a type-0 frame in one piece: the error wins, the good message is lost.
        Pair pair;
        pair.peerSends(concat({MessageCoder::encode(sampleHello()), FrameEncoder::encode(std::uint8_t{0}, Bytes{})}));
        try {
            pair.receive();
            FAIL() << "no error";
        } catch (const ProtocolError& error) {
            EXPECT_EQ(error, ProtocolError::unknownMessageType(0));
        }
        pair.raw->closeNow();
        EXPECT_EQ(pair.receive(), std::nullopt);
    }
    {
        // Before pairing the limit is 64 KiB, decided from the four length bytes alone; the
        // error stays for every later read. Raised to the configured limit, a big frame passes.
        Pair pair;
        EXPECT_EQ(pair.channel->maximumFrameByteCount(), 65'536);
        pair.peerSends(Bytes{0x00, 0x01, 0x00, 0x01});
        EXPECT_THROW(pair.receive(), ProtocolError);
        pair.peerSends(Bytes{0x0F});
        EXPECT_THROW(pair.receive(), ProtocolError);

        Pair raised;
        raised.channel->setMaximumFrameByteCount(raised.channel->maximumFrameByteCountAfterPairing());
        EXPECT_EQ(raised.channel->maximumFrameByteCount(), 8'388'608);
        raised.peerSends(MessageCoder::encode(sampleChunk(100'000)));
        EXPECT_EQ(raised.receive(), sampleChunk(100'000));
    }
}
