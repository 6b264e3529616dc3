#include "p2p/protocol/streams/FramedMessageChannel.h"
#include "p2p/protocol/messages/PairingCode.h"
#include "p2p/receive/ReceiveSession.h"
#include "p2p/protocol/streams/InMemoryByteStream.h"
#include "p2p/transport/PeerAdvertiser.h"
#include "support/p2p/BackupOverStreams.h"
#include "support/p2p/FakePhone.h"
#include "support/p2p/FakeServiceAnnouncer.h"
#include "support/p2p/RecordingSink.h"
#include "support/p2p/TransportTesting.h"

#include <asio/read.hpp>
#include <asio/write.hpp>
#include <gtest/gtest.h>

#include <deque>
#include <tuple>

using namespace p2p;
using namespace p2p::testing;
using tcp = asio::ip::tcp;

namespace {

DeviceInfo studio()
{
    return {"Studio", std::nullopt, std::nullopt, "DESKTOP-1"};
}

tcp::endpoint loopback(std::uint16_t port)
{
    return {asio::ip::address_v4::loopback(), port};
}

// True when the peer closed the connection (end of file or reset).
bool closedByPeer(tcp::socket& socket)
{
    char byte;
    asio::error_code error;
    asio::read(socket, asio::buffer(&byte, 1), error);
    return error == asio::error::eof || error == asio::error::connection_reset;
}

// The same while `io` runs, for closes that the advertiser's own timers make.
bool closedByPeer(asio::io_context& io, tcp::socket& socket)
{
    char byte;
    std::optional<asio::error_code> result;
    asio::async_read(socket, asio::buffer(&byte, 1), [&](const asio::error_code& error, std::size_t) { result = error; });
    if (!runUntil(io, [&] { return result.has_value(); }))
        return false;
    return *result == asio::error::eof || *result == asio::error::connection_reset;
}

} // namespace

TEST(PeerAdvertiser, StartOutcomes)
{
    struct Case {
        const char* name;
        std::optional<std::string> refuse;
        bool establish;
        std::optional<std::string> failBeforeReady;
        bool stopDuringStart;
        std::string outcome;
    };
    const Case cases[] = {
        {"ready", std::nullopt, true, std::nullopt, false, ""},
        {"no daemon", noAvahiDaemonText, false, std::nullopt, false, std::string("广播失败：") + noAvahiDaemonText},
        {"fails first", std::nullopt, false, "Bad state", false, "广播失败：Bad state"},
        {"stopped", std::nullopt, false, std::nullopt, true, "广播失败：广播已取消"},
        {"never ready", std::nullopt, false, std::nullopt, false, "广播失败：启动超时（1 秒内未就绪）"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        asio::io_context io;
        auto state = std::make_shared<FakeServiceAnnouncer::State>();
        state->refuse = c.refuse;
        state->establishAtOnce = c.establish;
        PeerAdvertiser advertiser(io.get_executor(), studio(), true, std::make_unique<FakeServiceAnnouncer>(state),
            std::chrono::seconds(1));
        std::string outcome = "pending";
        asio::co_spawn(io, failureOf(advertiser.start([](std::unique_ptr<NWConnectionByteStream>) {})),
            [&](std::exception_ptr, std::string result) { outcome = result; });
        io.poll();
        if (c.failBeforeReady)
            state->handlers.failed(*c.failBeforeReady);
        if (c.stopDuringStart)
            advertiser.stop();
        ASSERT_TRUE(runUntil(io, [&] { return outcome != "pending"; }));
        EXPECT_EQ(outcome, c.outcome);
        if (c.outcome.empty()) {
            EXPECT_EQ(state->name, "Studio");
            EXPECT_EQ(advertiser.port(), state->port);
            EXPECT_EQ(state->txt, P2PService::makeTXTRecord(studio()));
        } else {
            // A failed start leaves nothing listening or announced; the next start begins afresh.
            EXPECT_EQ(advertiser.port(), std::nullopt);
            EXPECT_FALSE(state->announced);
        }
    }
}

TEST(PeerAdvertiser, OnePhoneAtATimeAndFailuresAfterReady)
{
    asio::io_context io;
    LogCapture log;
    auto state = std::make_shared<FakeServiceAnnouncer::State>();
    PeerAdvertiser advertiser(io.get_executor(), studio(), true, std::make_unique<FakeServiceAnnouncer>(state));
    std::vector<std::unique_ptr<NWConnectionByteStream>> streams;
    std::vector<std::string> failures;
    runUntilDone(io,
        advertiser.start([&](std::unique_ptr<NWConnectionByteStream> stream) { streams.push_back(std::move(stream)); },
            [&](const TransportError& error) { failures.push_back(error.description()); }));
    const std::uint16_t port = *advertiser.port();

    tcp::socket first(io), second(io), third(io);
    first.connect(loopback(port));
    asio::write(first, asio::buffer(helloFrame()));
    ASSERT_TRUE(runUntil(io, [&] { return streams.size() == 1; }));
    second.connect(loopback(port));
    ASSERT_TRUE(runUntil(io, [&] { return log.contains("已有设备在传输，拒绝新连接"); }));
    EXPECT_TRUE(closedByPeer(second)); // refused while the first session runs
    advertiser.sessionDidEnd();
    third.connect(loopback(port));
    asio::write(third, asio::buffer(helloFrame()));
    ASSERT_TRUE(runUntil(io, [&] { return streams.size() == 2; }));

    state->handlers.failed("Daemon connection failed");
    EXPECT_EQ(failures, std::vector<std::string>{"广播失败：Daemon connection failed"});

    advertiser.stop();
    EXPECT_EQ(advertiser.port(), std::nullopt);
    EXPECT_EQ(state->withdrawCount, 1);
    // The stream handed out still works after stop, and gives its hello first.
    asio::write(third, asio::buffer("ok", 2));
    EXPECT_EQ(runUntilDone(io, streams[1]->receive()), helloFrame());
    EXPECT_EQ(runUntilDone(io, streams[1]->receive()), (Bytes{'o', 'k'}));
}

// Bad peers never stop the advertiser from serving the next phone: a silent one (closed by the
// greeting time-out) and one that sends garbage never reach a session; one that resets in the
// middle of a file, and a hundred that connect and drop at once. Each stream handed over gets a
// receiving session, as the receive model gives it, and frees the slot when that session ends.
// The phone served at the end pings before its hello.
TEST(PeerAdvertiser, BadPeersLeaveItServingTheNextPhone)
{
    asio::io_context io;
    auto state = std::make_shared<FakeServiceAnnouncer::State>();
    PeerAdvertiser advertiser(io.get_executor(), studio(), true, std::make_unique<FakeServiceAnnouncer>(state),
        PeerAdvertiser::defaultStartTimeout, std::chrono::milliseconds(300));
    SessionConfiguration configuration = SessionConfiguration::defaults();
    configuration.handshakeTimeout = 0.3;
    auto sink = std::make_shared<RecordingSink>(io.get_executor());
    auto verifier = std::make_shared<PairingVerifier>(*PairingCode::parse("123"), 3);
    int sessionsEnded = 0;
    std::vector<std::string> lastEvents;
    auto serve = [&](std::unique_ptr<NWConnectionByteStream> stream) {
        auto channel = std::make_unique<FramedMessageChannel>(std::move(stream), configuration);
        auto events = std::make_shared<std::vector<std::string>>();
        auto session = std::make_shared<ReceiveSession>(io.get_executor(), std::move(channel), sink, studio(),
            configuration, verifier, true, [events](const ReceiveEvent& event) { events->emplace_back(event.name()); });
        asio::co_spawn(io, session->run(), [&, session, events](std::exception_ptr) {
            ++sessionsEnded;
            lastEvents = *events;
            advertiser.sessionDidEnd();
        });
    };
    runUntilDone(io, advertiser.start(serve));
    const tcp::endpoint address = loopback(*advertiser.port());

    tcp::socket silent(io);
    silent.connect(address);
    EXPECT_TRUE(closedByPeer(io, silent));

    tcp::socket garbage(io);
    garbage.connect(address);
    asio::write(garbage, asio::buffer(FakePhone::patternBytes(1000, 3)));
    EXPECT_TRUE(closedByPeer(io, garbage));
    EXPECT_EQ(sessionsEnded, 0);

    {
        tcp::socket socket(io);
        socket.connect(address);
        auto phoneStream = std::make_unique<NWConnectionByteStream>(std::move(socket), 65536, 30);
        NWConnectionByteStream& raw = *phoneStream;
        FakePhone phone(std::move(phoneStream));
        auto cutMidFile = [&]() -> asio::awaitable<void> {
            co_await phone.greet();
            co_await phone.pair("123");
            const std::vector<AssetDescriptor> assets = {FakePhone::photo("C", "C.JPG", 100000)};
            co_await phone.offer(Uuid::random(), assets);
            FakeFile file;
            file.assetID = "C";
            file.filename = "C.JPG";
            file.bytes = FakePhone::patternBytes(100000, 5);
            file.chunkByteCount = 10000;
            file.cutAfterChunks = 3;
            co_await phone.sendFile(std::move(file));
        };
        runUntilDone(io, cutMidFile());
        raw.socket().set_option(asio::socket_base::linger(true, 0));
        raw.socket().close();
        ASSERT_TRUE(runUntil(io, [&] { return sessionsEnded == 1; }));
        EXPECT_EQ(lastEvents.back(), "failed");
    }

    for (int i = 0; i < 100; ++i) {
        tcp::socket dropped(io);
        dropped.connect(address);
    }

    // The next phone is served: retried until the slot of the last dropped connection is free.
    std::string outcome = "refused";
    for (int attempt = 0; attempt < 50 && outcome == "refused"; ++attempt) {
        tcp::socket socket(io);
        socket.connect(address);
        FakePhone phone(std::make_unique<NWConnectionByteStream>(std::move(socket), 65536, 30));
        // It pings before its hello, as the session lets it at every stage.
        auto pingFirst = [&]() -> asio::awaitable<std::string> {
            co_await phone.ping();
            co_return co_await BackupOverStreams::phoneScript(phone);
        };
        outcome = runUntilDone(io, pingFirst());
        if (outcome.find("end of stream") != std::string::npos)
            outcome = "refused";
    }
    EXPECT_EQ(outcome, "");
    ASSERT_TRUE(runUntil(io, [&] { return lastEvents.back() == "finished"; }));
    for (const auto& [key, bytes] : BackupOverStreams::files())
        EXPECT_EQ(sink->storedFiles[key], bytes) << key;
}

// Before its hello a connection only waits, one of at most eight: a ninth closes the oldest, a
// first frame that is no hello (or too large to be one) or an end closes its own; the first hello
// is handed over with the bytes read and closes every other waiting connection.
TEST(GreetingGate, PendingConnectionsAndTheFirstHello)
{
    asio::io_context io;
    ThrottledLog strangers {Logger(P2PLog::Category::discovery)};
    GreetingGate gate(io.get_executor(), std::chrono::minutes(1), strangers);
    std::vector<std::unique_ptr<InMemoryByteStream>> peers; // the strangers' and the phone's ends
    std::vector<std::pair<std::size_t, Bytes>> greeted;
    for (std::size_t id = 0; id < 9; ++id) {
        auto [near, far] = InMemoryByteStream::makePair(io.get_executor());
        gate.add(std::move(near), [&, id](std::unique_ptr<ByteStream>, Bytes read) { greeted.emplace_back(id, read); });
        peers.push_back(std::move(far));
    }
    const auto send = [&](std::size_t id, Bytes bytes) { runUntilDone(io, peers[id]->send(std::move(bytes))); };
    const auto closed = [&](std::size_t id) { return !runUntilDone(io, peers[id]->receive()).has_value(); };
    EXPECT_TRUE(closed(0));
    EXPECT_EQ(gate.pendingCount(), 8u);

    SessionBegin begin;
    begin.sessionID = Uuid::random();
    send(8, MessageCoder::encode(Message(begin)));
    EXPECT_TRUE(closed(8));
    send(7, Bytes {0x7f, 0xff, 0xff, 0xff}); // a frame of 2 GiB announced
    EXPECT_TRUE(closed(7));
    peers[6]->closeNow();
    ASSERT_TRUE(runUntil(io, [&] { return gate.pendingCount() == 5; }));

    const Bytes hello = helloFrame();
    const Bytes ping = MessageCoder::encode(Message(Ping()));
    send(4, ping); // answered, and the connection goes on waiting
    EXPECT_EQ(runUntilDone(io, peers[4]->receive()), MessageCoder::encode(Message(Pong())));
    Bytes pingAndPart = ping;
    pingAndPart.insert(pingAndPart.end(), hello.begin(), hello.begin() + 3);
    send(4, pingAndPart); // a hello in two pieces, after another ping
    send(4, Bytes(hello.begin() + 3, hello.end()));
    ASSERT_TRUE(runUntil(io, [&] { return !greeted.empty(); }));
    EXPECT_EQ(greeted, (std::vector<std::pair<std::size_t, Bytes>> {{4, hello}}));
    for (std::size_t other : {1, 2, 3, 5})
        EXPECT_TRUE(closed(other)) << other;
    EXPECT_EQ(gate.pendingCount(), 0u);
}

// However many strangers come, a line a second at most, counting each kind since the last line.
TEST(GreetingGate, StrangersLoggedAtMostOnceASecondWithCounts)
{
    LogCapture log;
    ThrottledLog::Clock::time_point now {};
    {
        ThrottledLog strangers(Logger(P2PLog::Category::discovery), [&] { return now; });
        for (const auto& [kind, times, later] : {std::tuple {"A", 1000, 999}, {"B", 7, 1}, {"B", 2, 0}}) {
            for (int i = 0; i < times; ++i)
                strangers.note(kind);
            now += std::chrono::milliseconds(later);
        }
    }
    // The last line, of what was still counted, is written at the end.
    EXPECT_EQ(log.messages, (std::vector<std::string> {"A", "A（999 次）；B（8 次）", "B"}));
}
