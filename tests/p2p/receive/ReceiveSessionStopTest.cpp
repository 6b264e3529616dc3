// The session's ends on the receiving side: cancel and shutdown while files arrive or before.

#include "FileStageScripts.h"

#include <gtest/gtest.h>

using namespace p2p;
using namespace p2p::testing;
using namespace p2p::testing::files;

TEST(ReceiveSessionStopTest, CancelStopsAtTheNextFile)
{
    SessionHarness h;
    h.sink->beforeCall = [&](std::string_view operation, const IncomingFile*) {
        if (operation == "finishFile")
            h.session->cancel();
    };
    std::optional<FileAck> ackA;
    std::optional<SessionEnd> end;
    auto script = [&](FakePhone& phone) -> asio::awaitable<void> {
        co_await greetAndOfferAG(phone);
        FakeFile a = fileOf("A", 0, "A.JPG", fileA);
        ackA = co_await phone.sendFile(a);
        end = co_await phone.expect<SessionEnd>();
        co_await phone.readUntilClosed();
    };
    EXPECT_EQ(h.run(script), "");
    EXPECT_EQ(ackA, ackOf("A", 0, FileAck::Result::stored));
    EXPECT_EQ(end, endOf(SessionEnd::Reason::cancelledByUser));
    EXPECT_EQ(withoutAppends(h.sink->calls).back(), "finishSession(cancelledByUser)");
    EXPECT_EQ(h.events.last<ReceiveEvent::Finished>(),
        (ReceiveEvent::Finished{SessionEnd::Reason::cancelledByUser, ReceiveSummary{1, 0, 0, 10}}));
}

namespace {

asio::awaitable<void> shutDownThenRelease(std::shared_ptr<ReceiveSession> session, std::shared_ptr<RecordingSink> sink)
{
    co_await session->shutdown();
    sink->releaseAppends();
}

} // namespace

TEST(ReceiveSessionStopTest, ShutdownDuringAHeldAppendAbortsTheFileOnce)
{
    SessionHarness h;
    h.sink->holdAppends = true;
    h.sink->onAppendHeld = [&] { h.spawn(shutDownThenRelease(h.session, h.sink)); };
    auto script = [&](FakePhone& phone) -> asio::awaitable<void> {
        co_await greetAndOfferAG(phone);
        FakeFile a = fileOf("A", 0, "A.JPG", fileA);
        a.cutAfterChunks = 1;
        co_await phone.sendFile(a);
        co_await phone.readUntilClosed(); // hangs up once the session closed, as a socket would
    };
    EXPECT_EQ(h.run(script), "");
    const std::vector<std::string> calls = {"prepareSession", "existingAssetIDs(2)", "beginFile(A/0)",
        "appendChunk(A/0,4)", "abortFile(A/0,接收方关闭会话)", "appendChunk.released(A/0)",
        "finishSession(cancelledByUser)"};
    EXPECT_EQ(h.sink->calls, calls);
    EXPECT_EQ(h.events.names().back(), "finished");
    EXPECT_EQ(h.events.last<ReceiveEvent::Finished>()->reason, SessionEnd::Reason::cancelledByUser);
    EXPECT_EQ(h.session->progress().completedByteCount, 0);
}

TEST(ReceiveSessionStopTest, ShutdownBeforeTheSessionBeginTouchesNoSink)
{
    SessionHarness h;
    auto script = [&](FakePhone& phone) -> asio::awaitable<void> {
        co_await phone.greet();
        co_await h.session->shutdown();
        co_await phone.readUntilClosed();
    };
    EXPECT_EQ(h.run(script), "");
    EXPECT_TRUE(h.sink->calls.empty());
    EXPECT_EQ(h.events.names(), (std::vector<std::string>{"handshakeCompleted", "finished"}));
    EXPECT_EQ(h.events.last<ReceiveEvent::Finished>()->reason, SessionEnd::Reason::cancelledByUser);
}
