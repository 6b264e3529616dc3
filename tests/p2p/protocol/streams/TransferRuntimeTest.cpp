#include "p2p/protocol/streams/TransferRuntime.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

using namespace p2p;

namespace {

asio::awaitable<void> report(TransferRuntime& runtime, std::promise<std::pair<bool, std::thread::id>>& done)
{
    // Resume through a timer, as transfer objects do, before reporting where we run.
    asio::steady_timer timer(co_await asio::this_coro::executor, std::chrono::milliseconds(1));
    co_await timer.async_wait(asio::use_awaitable);
    done.set_value({runtime.isTransferThread(), std::this_thread::get_id()});
}

} // namespace

TEST(TransferRuntimeTest, RunsWorkOnItsOwnThreadUntilStopped)
{
    TransferRuntime runtime;
    EXPECT_FALSE(runtime.isTransferThread());
    for (int round = 0; round < 2; ++round) { // idle between rounds: the work guard keeps it running
        std::promise<std::pair<bool, std::thread::id>> done;
        auto result = done.get_future();
        asio::co_spawn(runtime.executor(), report(runtime, done), asio::detached);
        ASSERT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        const auto [onTransferThread, id] = result.get();
        EXPECT_TRUE(onTransferThread);
        EXPECT_NE(id, std::this_thread::get_id());
    }
    runtime.stop();
    runtime.stop(); // a second stop does nothing
}
