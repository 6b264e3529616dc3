#include "p2p/protocol/streams/ByteQueue.h"
#include "p2p/protocol/streams/InMemoryByteStream.h"
#include "support/p2p/RunAwaitable.h"

#include <gtest/gtest.h>

using namespace p2p;
using p2p::testing::runAwaitable;

namespace {

Bytes bytesOf(std::initializer_list<std::uint8_t> values) { return Bytes(values); }

// Collects every receive of a stream until the end, as sizes.
asio::awaitable<std::vector<std::size_t>> pieceSizes(ByteStream& stream)
{
    std::vector<std::size_t> sizes;
    for (;;) {
        std::optional<Bytes> piece = co_await stream.receive();
        if (!piece)
            break;
        sizes.push_back(piece->size());
    }
    co_return sizes;
}

asio::awaitable<void> popInto(std::shared_ptr<ByteQueue> queue, std::vector<std::optional<Bytes>>& out)
{
    out.push_back(co_await queue->pop());
}

} // namespace

TEST(ByteQueueTest, QueuedChunksOutliveCloseAndWaitersWakeInOrder)
{
    asio::io_context io;
    {
        // push A, push B, close: A, B, then none; a push after close is lost.
        auto queue = std::make_shared<ByteQueue>(io.get_executor());
        queue->push(bytesOf({1}));
        queue->push(bytesOf({2}));
        queue->close();
        queue->push(bytesOf({3}));
        std::vector<std::optional<Bytes>> popped;
        for (int i = 0; i < 3; ++i)
            runAwaitable(io, popInto(queue, popped));
        ASSERT_EQ(popped.size(), 3u);
        EXPECT_EQ(popped[0], bytesOf({1}));
        EXPECT_EQ(popped[1], bytesOf({2}));
        EXPECT_EQ(popped[2], std::nullopt);
    }
    {
        // Two takers wait: the oldest gets the first push, the other wakes empty on close.
        auto queue = std::make_shared<ByteQueue>(io.get_executor());
        std::vector<std::optional<Bytes>> popped;
        asio::co_spawn(io, popInto(queue, popped), asio::detached);
        asio::co_spawn(io, popInto(queue, popped), asio::detached);
        io.restart();
        io.poll();
        EXPECT_EQ(queue->waiterCount(), 2u);
        queue->push(bytesOf({7}));
        queue->close();
        io.run();
        ASSERT_EQ(popped.size(), 2u);
        EXPECT_EQ(popped[0], bytesOf({7}));
        EXPECT_EQ(popped[1], std::nullopt);
        EXPECT_EQ(queue->waiterCount(), 0u);
    }
}

TEST(InMemoryByteStreamTest, ChunkLimitSplitsSendsButNeverMergesThem)
{
    struct Case {
        std::optional<std::int64_t> limit;
        std::size_t sendSize;
        std::vector<std::size_t> expected;
    };
    const std::vector<Case> cases = {
        {std::nullopt, 1'048'576, {1'048'576}},
        {65'536, 1'048'576, std::vector<std::size_t>(16, 65'536)},
        {4, 10, {4, 4, 2}},
        {4, 0, {0}},                // an empty send arrives as an empty piece
        {0, 3, {1, 1, 1}},          // a limit below 1 counts as 1
    };
    for (const Case& c : cases) {
        asio::io_context io;
        auto [a, b] = InMemoryByteStream::makePair(io.get_executor(), c.limit);
        Bytes payload(c.sendSize, 0x5A);
        runAwaitable(io, a->send(std::move(payload)));
        a->closeNow();
        EXPECT_EQ(runAwaitable(io, pieceSizes(*b)), c.expected) << "limit " << c.limit.value_or(-1);
    }
}

TEST(InMemoryByteStreamTest, CloseEndsOneDirectionAndDisconnectEndsBoth)
{
    asio::io_context io;
    auto [a, b] = InMemoryByteStream::makePair(io.get_executor());

    // b waits; a closes: b wakes with no value, while a still receives what b sends.
    std::vector<std::size_t> bSaw;
    bool bDone = false;
    auto readB = [&]() -> asio::awaitable<void> {
        bSaw = co_await pieceSizes(*b);
        bDone = true;
    };
    asio::co_spawn(io, readB(), asio::detached);
    io.poll();
    EXPECT_FALSE(bDone);
    runAwaitable(io, a->close());
    EXPECT_TRUE(bDone);
    EXPECT_TRUE(bSaw.empty());

    runAwaitable(io, b->send(bytesOf({1, 2})));
    std::optional<Bytes> atA = runAwaitable(io, a->receive());
    EXPECT_EQ(atA, bytesOf({1, 2}));

    // simulateDisconnect on b: queued pieces still come out at a, then the end on both sides,
    // and later sends vanish.
    runAwaitable(io, b->send(bytesOf({3})));
    runAwaitable(io, b->simulateDisconnect());
    runAwaitable(io, a->send(bytesOf({4})));
    EXPECT_EQ(runAwaitable(io, pieceSizes(*a)), std::vector<std::size_t>{1});
    EXPECT_EQ(runAwaitable(io, b->receive()), std::nullopt);
}

TEST(InMemoryByteStreamTest, DisconnectWakesAReceiveWaitingOnTheSameEnd)
{
    asio::io_context io;
    auto [a, b] = InMemoryByteStream::makePair(io.get_executor());
    std::optional<std::optional<Bytes>> result;
    auto readA = [&]() -> asio::awaitable<void> { result = co_await a->receive(); };
    asio::co_spawn(io, readA(), asio::detached);
    io.poll();
    EXPECT_FALSE(result.has_value());
    a->disconnectNow();
    io.run();
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(*result, std::nullopt);
}
