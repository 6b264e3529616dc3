#include "p2p/protocol/framing/MessageCoder.h"
#include "p2p/protocol/streams/InMemoryByteStream.h"
#include "p2p/transport/GreetingGate.h"
#include "support/p2p/TransportTesting.h"

#include <gtest/gtest.h>

using namespace p2p;
using namespace p2p::testing;

namespace {

// Connections made into a gate, each with the far end the stranger or the phone holds.
struct Connections {
    explicit Connections(std::chrono::milliseconds timeout) : gate(io.get_executor(), timeout, strangers) {}

    void connect()
    {
        auto [near, far] = InMemoryByteStream::makePair(io.get_executor());
        const int id = int(peers.size());
        gate.add(std::move(near), [this, id](std::unique_ptr<ByteStream>, Bytes read) { greeted.emplace_back(id, read); });
        peers.push_back(std::move(far));
    }
    void send(int id, Bytes bytes) { runUntilDone(io, peers[size_t(id)]->send(std::move(bytes))); }
    // The gate closed this connection: its peer reads the end.
    bool closed(int id) { return !runUntilDone(io, peers[size_t(id)]->receive(), std::chrono::seconds(5)).has_value(); }

    asio::io_context io;
    LogCapture log;
    ThrottledLog strangers{Logger(P2PLog::Category::discovery)};
    GreetingGate gate;
    std::vector<std::unique_ptr<InMemoryByteStream>> peers;
    std::vector<std::pair<int, Bytes>> greeted;
};

} // namespace

// Before its hello a connection only waits, one of at most eight: a ninth closes the oldest, a
// first frame that is no hello (or too large to be one) or an end closes its own; the first hello
// is handed over with the bytes read and closes every other waiting connection.
TEST(GreetingGate, PendingConnectionsAndTheFirstHello)
{
    Connections c(std::chrono::minutes(1));
    for (int i = 0; i < 9; ++i)
        c.connect();
    EXPECT_TRUE(c.closed(0));
    EXPECT_EQ(c.gate.pendingCount(), 8u);

    SessionBegin begin;
    begin.sessionID = Uuid::random();
    c.send(8, MessageCoder::encode(Message(begin)));
    EXPECT_TRUE(c.closed(8));
    c.send(7, Bytes {0x7f, 0xff, 0xff, 0xff}); // a frame of 2 GiB announced
    EXPECT_TRUE(c.closed(7));
    c.peers[6]->closeNow();
    ASSERT_TRUE(runUntil(c.io, [&] { return c.gate.pendingCount() == 5; }));

    const Bytes hello = helloFrame();
    c.send(4, Bytes(hello.begin(), hello.begin() + 3)); // a hello cut in two pieces
    c.io.restart();
    c.io.poll();
    EXPECT_TRUE(c.greeted.empty());
    c.send(4, Bytes(hello.begin() + 3, hello.end()));
    ASSERT_TRUE(runUntil(c.io, [&] { return !c.greeted.empty(); }));
    EXPECT_EQ(c.greeted, (std::vector<std::pair<int, Bytes>>{{4, hello}}));
    for (int other : {1, 2, 3, 5})
        EXPECT_TRUE(c.closed(other)) << other;
    EXPECT_EQ(c.gate.pendingCount(), 0u);
}

// A connection silent for the handshake time-out is closed.
TEST(GreetingGate, SilentConnectionClosedAtTheTimeout)
{
    Connections c(std::chrono::milliseconds(20));
    c.connect();
    EXPECT_TRUE(c.closed(0));
    EXPECT_EQ(c.gate.pendingCount(), 0u);
    EXPECT_TRUE(c.log.contains("未在时限内问候，关闭连接"));
}

// However many strangers come, a line a second at most, counting each kind since the last line.
TEST(GreetingGate, StrangersLoggedAtMostOnceASecondWithCounts)
{
    LogCapture log;
    ThrottledLog::Clock::time_point now {};
    {
        ThrottledLog strangers(Logger(P2PLog::Category::discovery), [&] { return now; });
        strangers.note("A");
        EXPECT_EQ(log.messages, std::vector<std::string>{"A"});
        for (int i = 0; i < 999; ++i)
            strangers.note("A");
        for (int i = 0; i < 5; ++i)
            strangers.note("B");
        now += std::chrono::milliseconds(999);
        strangers.note("B");
        EXPECT_EQ(log.messages.size(), 1u);
        now += std::chrono::milliseconds(1);
        strangers.note("A");
        EXPECT_EQ(log.messages.back(), "A（1000 次）；B（6 次）");
        now += std::chrono::milliseconds(10);
        strangers.note("B");
        EXPECT_EQ(log.messages.size(), 2u);
    }
    // What was still counted is written at the end.
    EXPECT_EQ(log.messages, (std::vector<std::string>{"A", "A（1000 次）；B（6 次）", "B"}));
}
