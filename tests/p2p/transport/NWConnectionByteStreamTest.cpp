#include "p2p/transport/NWConnectionByteStream.h"
#include "support/p2p/RunAwaitable.h"
#include "support/p2p/TransportTesting.h"

#include <asio/read.hpp>
#include <asio/write.hpp>
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <chrono>
#include <thread>

using namespace p2p;
using p2p::testing::failureOf;
using p2p::testing::loopbackPair;
using p2p::testing::runAwaitable;

namespace {

using tcp = asio::ip::tcp;

NWConnectionByteStream::Resolve fixedAddress(tcp::endpoint endpoint)
{
    return [endpoint]() -> asio::awaitable<std::vector<tcp::endpoint>> { co_return std::vector<tcp::endpoint>{endpoint}; };
}

std::unique_ptr<NWConnectionByteStream> dialled(asio::io_context& io, tcp::endpoint endpoint, double ioTimeout = 30)
{
    return std::make_unique<NWConnectionByteStream>(io.get_executor(), "test", fixedAddress(endpoint), 65536, ioTimeout);
}

asio::awaitable<void> receiveInto(NWConnectionByteStream& stream, std::string& outcome)
{
    try {
        std::optional<Bytes> piece = co_await stream.receive();
        outcome = piece ? "bytes" : "end";
    } catch (const TransportError& error) {
        outcome = error.description();
    }
}

asio::awaitable<void> sendInto(NWConnectionByteStream& stream, Bytes bytes, std::string& outcome)
{
    outcome = co_await failureOf(stream.send(std::move(bytes)));
    if (outcome.empty())
        outcome = "sent";
}

asio::awaitable<void> readInto(NWConnectionByteStream& stream, std::span<std::uint8_t> into,
    std::optional<std::optional<std::size_t>>& got)
{
    got = co_await stream.receiveInto(into);
}

// A peer that never reads, with tiny buffers, so a large send stays pending.
void shrinkBuffers(tcp::socket& a, tcp::socket& b)
{
    a.set_option(asio::socket_base::send_buffer_size(4096));
    b.set_option(asio::socket_base::receive_buffer_size(4096));
}

} // namespace

TEST(NWConnectionByteStream, IoTimeoutIsAtLeastOneSecond)
{
    asio::io_context io;
    const std::pair<double, double> cases[] = {{0.5, 1}, {0, 1}, {-3, 1}, {1, 1}, {1.5, 1.5}, {30, 30}};
    for (auto [given, used] : cases)
        EXPECT_EQ(dialled(io, {}, given)->ioTimeout(), used) << given;
}

TEST(NWConnectionByteStream, DialledStreamCarriesBytesBothWaysAndSendsWaitForReadiness)
{
    asio::io_context io;
    tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    auto stream = dialled(io, acceptor.local_endpoint());
    // The send is issued before start: it waits for the connection.
    std::string sendOutcome;
    asio::co_spawn(io, sendInto(*stream, Bytes{1, 2, 3}, sendOutcome), asio::detached);
    EXPECT_EQ(runAwaitable(io, failureOf(stream->start(5))), "");
    EXPECT_EQ(sendOutcome, "sent");
    EXPECT_EQ(runAwaitable(io, failureOf(stream->start(5))), ""); // again: returns at once

    tcp::socket peer = acceptor.accept();
    Bytes got(3);
    asio::read(peer, asio::buffer(got));
    EXPECT_EQ(got, (Bytes{1, 2, 3}));
    asio::write(peer, asio::buffer(std::string("hello")));
    peer.shutdown(tcp::socket::shutdown_send);
    EXPECT_EQ(runAwaitable(io, stream->receive()), (Bytes{'h', 'e', 'l', 'l', 'o'}));
    EXPECT_EQ(runAwaitable(io, stream->receive()), std::nullopt);
}

TEST(NWConnectionByteStream, ConnectFailuresAndTimeOut)
{
    asio::io_context io;
    // listen(0) and never accept: the first connect fills the queue, the next one's SYNs are dropped.
    tcp::acceptor full(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    full.listen(0);
    tcp::socket first(io);
    first.connect(full.local_endpoint());
    // A port nobody listens on.
    tcp::endpoint closedPort;
    {
        tcp::acceptor gone(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
        closedPort = gone.local_endpoint();
    }
    struct Case {
        const char* name;
        std::unique_ptr<NWConnectionByteStream> stream;
        std::string startOutcome;
    };
    Case cases[] = {
        {"queue full", dialled(io, full.local_endpoint()), "连接超时（1 秒内未就绪）"},
        {"refused", dialled(io, closedPort), "连接失败：Connection refused"},
        {"no address",
            std::make_unique<NWConnectionByteStream>(io.get_executor(), "nowhere",
                []() -> asio::awaitable<std::vector<tcp::endpoint>> { co_return std::vector<tcp::endpoint>{}; }, 65536, 30),
            "连接失败：找不到对方的地址"},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(runAwaitable(io, failureOf(c.stream->start(1))), c.startOutcome);
        // The failure stays: later calls report it.
        EXPECT_EQ(runAwaitable(io, failureOf(c.stream->send(Bytes{1}))), c.startOutcome);
        EXPECT_EQ(runAwaitable(io, failureOf(c.stream->receive())), c.startOutcome);
        EXPECT_EQ(runAwaitable(io, failureOf(c.stream->start(1))), c.startOutcome);
    }
}

TEST(NWConnectionByteStream, CloseResetAndSendTimeOutEndPendingOperations)
{
    struct Case {
        const char* name;
        double ioTimeout;
        bool pendingSend;
        bool closeLocally;
        bool peerResets;
        std::string sendOutcome;
        std::string receiveOutcome;
        std::string laterSend;
        std::string laterReceive;
    };
    const Case cases[] = {
        {"close during receive", 30, false, true, false, "", "end", "连接未就绪", "连接未就绪"},
        {"close during send", 30, true, true, false, "连接未就绪", "end", "连接未就绪", "连接未就绪"},
        {"send time-out", 0.5, true, false, false, "发送超时（1 秒内未写出），链路可能已中断",
            "发送超时（1 秒内未写出），链路可能已中断", "发送超时（1 秒内未写出），链路可能已中断",
            "发送超时（1 秒内未写出），链路可能已中断"},
        {"peer resets", 30, false, false, true, "", "连接失败：Connection reset by peer", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        asio::io_context io;
        auto [client, accepted] = loopbackPair(io);
        shrinkBuffers(accepted, client);
        NWConnectionByteStream stream(std::move(accepted), 65536, c.ioTimeout);
        EXPECT_EQ(runAwaitable(io, failureOf(stream.start(15))), "");

        std::string sendOutcome;
        std::string receiveOutcome;
        asio::co_spawn(io, receiveInto(stream, receiveOutcome), asio::detached);
        if (c.pendingSend)
            asio::co_spawn(io, sendInto(stream, Bytes(8 << 20, 7), sendOutcome), asio::detached);
        io.restart();
        io.poll();
        if (c.closeLocally)
            asio::co_spawn(io, stream.close(), asio::detached);
        if (c.peerResets) {
            client.set_option(asio::socket_base::linger(true, 0));
            client.close();
        }
        io.restart();
        io.run(); // the send time-out, when it is the case, fires here
        EXPECT_EQ(sendOutcome, c.sendOutcome);
        EXPECT_EQ(receiveOutcome, c.receiveOutcome);
        if (!c.peerResets) {
            EXPECT_EQ(runAwaitable(io, failureOf(stream.send(Bytes{1}))), c.laterSend);
            EXPECT_EQ(runAwaitable(io, failureOf(stream.receive())), c.laterReceive);
        }
        runAwaitable(io, stream.close());
        runAwaitable(io, stream.close());
    }
}

// A send timer that ran out just as its send completed is queued with "no error" behind that
// completion; when the next send starts at once, that stale completion must not fail the stream.
// The loop is stepped by hand: the first step starts the first send (its bytes fit the buffer), the
// time-out then passes, and the second step finds the timer expired and the send done together.
TEST(NWConnectionByteStream, AStaleSendTimerDoesNotFailTheNextSend)
{
    asio::io_context io;
    auto [client, accepted] = loopbackPair(io);
    NWConnectionByteStream stream(std::move(accepted), 65536, 1);
    std::string firstTwo = "pending";
    auto sendTwice = [&]() -> asio::awaitable<void> {
        co_await stream.send(Bytes(100, 1));
        co_await stream.send(Bytes(100, 2));
    };
    asio::co_spawn(io, failureOf(sendTwice()), [&](std::exception_ptr, std::string outcome) { firstTwo = outcome; });
    const auto firstSendStarted = std::chrono::steady_clock::now();
    ASSERT_EQ(io.poll_one(), 1u);
    std::this_thread::sleep_until(firstSendStarted + std::chrono::milliseconds(1100));
    io.restart();
    io.poll();
    EXPECT_EQ(firstTwo, "");
    EXPECT_EQ(runAwaitable(io, failureOf(stream.send(Bytes(100, 3)))), "");
    Bytes received(300);
    asio::read(client, asio::buffer(received));
    EXPECT_EQ(received[299], 3);
}

TEST(NWConnectionByteStream, ALargeReadWakesForMuchOfItNotForEverySegment)
{
    // Filling a large frame, the reader is woken once a good part of it arrived, not for every
    // segment that trickles in; a small read wakes for the first bytes, and the end of the stream
    // wakes a large read with whatever came.
    asio::io_context io;
    tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    auto stream = dialled(io, acceptor.local_endpoint());
    ASSERT_EQ(runAwaitable(io, failureOf(stream->start(5))), "");
    tcp::socket peer = acceptor.accept();

    Bytes into(256 * 1024);
    std::optional<std::optional<std::size_t>> got;
    auto startRead = [&](std::size_t size) {
        got.reset();
        asio::co_spawn(io, readInto(*stream, std::span(into.data(), size), got), asio::detached);
        io.restart();
        io.poll(); // nothing there yet: the read waits
    };
    auto finishRead = [&] {
        io.restart();
        while (!got && io.run_one_for(std::chrono::seconds(10)) > 0) { }
        return got.value_or(std::nullopt).value_or(0);
    };
    const Bytes trickle(1024, 7);

    startRead(64 * 1024);
    asio::write(peer, asio::buffer(trickle));
    EXPECT_EQ(finishRead(), trickle.size());

    startRead(into.size());
    for (int i = 0; i < 200; ++i) {
        asio::write(peer, asio::buffer(trickle));
        io.poll();
    }
    const std::size_t first = finishRead();
    EXPECT_GE(first, std::size_t{128 * 1024});
    for (std::size_t rest = 200 * trickle.size() - std::min(first, 200 * trickle.size()); rest > 0;) {
        startRead(into.size()); // bytes already there are taken at once
        const std::size_t count = finishRead();
        ASSERT_GT(count, 0u);
        rest -= std::min(count, rest);
    }

    // A reader of whatever comes (a greeting, a phone awaiting an answer) is promised nothing:
    // a few bytes wake it, however large its buffer.
    auto roomy = std::make_unique<NWConnectionByteStream>(io.get_executor(), "test",
                                                          fixedAddress(acceptor.local_endpoint()), 1 << 20, 30);
    ASSERT_EQ(runAwaitable(io, failureOf(roomy->start(5))), "");
    tcp::socket roomyPeer = acceptor.accept();
    std::string outcome;
    asio::co_spawn(io, receiveInto(*roomy, outcome), asio::detached);
    io.restart();
    io.poll();
    asio::write(roomyPeer, asio::buffer(trickle));
    io.restart();
    while (outcome.empty() && io.run_one_for(std::chrono::seconds(3)) > 0) { }
    EXPECT_EQ(outcome, "bytes");

    startRead(into.size());
    asio::write(peer, asio::buffer(trickle));
    peer.shutdown(tcp::socket::shutdown_send);
    EXPECT_EQ(finishRead(), trickle.size());
}
