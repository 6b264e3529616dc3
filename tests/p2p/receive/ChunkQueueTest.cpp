// The queue between the session and the sink on its own, run until nothing more can happen while
// the sink holds its first chunk: a look then sees the most the queue ever took.

#include "p2p/receive/ChunkQueue.h"
#include "support/p2p/FakePhone.h"
#include "support/p2p/RecordingSink.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

using namespace p2p;
using namespace p2p::testing;

namespace {

asio::awaitable<void> pushAll(std::shared_ptr<ChunkQueue> queue, Bytes bytes, std::size_t chunkSize, bool& done)
{
    auto file = std::make_shared<IncomingFile>();
    file->assetID = "A";
    co_await queue->start(file);
    for (std::size_t at = 0; at < bytes.size(); at += chunkSize) {
        Bytes chunk(bytes.begin() + static_cast<std::ptrdiff_t>(at),
            bytes.begin() + static_cast<std::ptrdiff_t>(std::min(at + chunkSize, bytes.size())));
        co_await queue->push(std::move(chunk));
    }
    co_await queue->drain();
    done = true;
}

} // namespace

TEST(ChunkQueueTest, HoldsNoMoreThanItsBoundWhileTheSinkIsBusy)
{
    struct Case {
        const char* name;
        std::int64_t limit;
        std::size_t chunkSize;
        std::int64_t mostQueued;
    };
    const std::vector<Case> cases = {
        // Not a multiple of the chunk size: a queue that took a chunk while below its bound would pass it.
        {"a bound between two multiples of the chunk size", 10, 4, 8},
        {"a chunk larger than the bound goes alone", 10, 12, 12},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        asio::io_context io;
        auto sink = std::make_shared<RecordingSink>(io.get_executor());
        sink->holdAppends = true;
        std::int64_t mostQueued = 0;
        auto queue = std::make_shared<ChunkQueue>(io.get_executor(), sink, c.limit, ChunkQueue::AcceptedHandler{},
            [&](std::int64_t queued) { mostQueued = std::max(mostQueued, queued); });
        const Bytes bytes = FakePhone::patternBytes(c.chunkSize * 5);
        bool done = false;
        asio::co_spawn(io, pushAll(queue, bytes, c.chunkSize, done), asio::detached);

        io.poll(); // the sink holds the first chunk; the pusher waits for room
        EXPECT_EQ(mostQueued, c.mostQueued);
        EXPECT_FALSE(done);

        sink->releaseAppends();
        io.run_for(std::chrono::seconds(10));
        EXPECT_TRUE(done);
        EXPECT_EQ(sink->openFiles["A/0"], bytes);
    }
}
