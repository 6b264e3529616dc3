#include "p2p/transport/WiredPeerListener.h"
#include "support/p2p/RunAwaitable.h"
#include "support/p2p/TransportTesting.h"

#include <asio/read.hpp>
#include <asio/write.hpp>
#include <gtest/gtest.h>

using namespace p2p;
using p2p::testing::failureOf;
using p2p::testing::runUntil;
using p2p::testing::runUntilDone;
using tcp = asio::ip::tcp;

TEST(WiredPeerListener, OneSessionAtATimeAndStopLeavesTheSessionAlone)
{
    asio::io_context io;
    p2p::testing::LogCapture log;
    std::vector<std::unique_ptr<ByteStream>> sessions;
    int failures = 0;
    WiredPeerListener listener(io.get_executor(), 0);
    EXPECT_EQ(listener.port(), std::nullopt);
    auto onConnection = [&](std::unique_ptr<ByteStream> stream) { sessions.push_back(std::move(stream)); };
    auto onFailure = [&](const TransportError&) { ++failures; };
    EXPECT_EQ(runUntilDone(io, failureOf(listener.start(onConnection, onFailure))), "");
    ASSERT_TRUE(listener.port().has_value());
    // A second start keeps the first handlers.
    EXPECT_EQ(runUntilDone(io, failureOf(listener.start([](std::unique_ptr<ByteStream>) {}))), "");

    const tcp::endpoint address(asio::ip::address_v4::loopback(), *listener.port());
    tcp::socket first(io), second(io), third(io);
    first.connect(address);
    second.connect(address);
    auto refused = [&] { return log.contains("一线：已有会话，拒绝新连接"); };
    ASSERT_TRUE(runUntil(io, [&] { return sessions.size() == 1 && refused(); }));
    char byte;
    asio::error_code error;
    asio::read(second, asio::buffer(&byte, 1), error);
    EXPECT_EQ(error, asio::error::eof); // refused: closed at once

    listener.sessionDidEnd();
    third.connect(address);
    ASSERT_TRUE(runUntil(io, [&] { return sessions.size() == 2; }));

    // Stop during a session: the handed-over stream still carries bytes; no failure reported.
    listener.stop();
    EXPECT_EQ(listener.port(), std::nullopt);
    asio::write(third, asio::buffer("hi", 2));
    std::optional<Bytes> got = runUntilDone(io, sessions[1]->receive());
    EXPECT_EQ(got, (Bytes{'h', 'i'}));
    EXPECT_EQ(failures, 0);
}

TEST(WiredPeerListener, PortInUseFailsWithTheErrno)
{
    asio::io_context io;
    tcp::acceptor taken(io, tcp::endpoint(asio::ip::address_v4::any(), 0));
    const std::uint16_t port = taken.local_endpoint().port();
    WiredPeerListener listener(io.get_executor(), port);
    EXPECT_EQ(runUntilDone(io, failureOf(listener.start([](std::unique_ptr<ByteStream>) {}))),
        "一线监听失败：绑定端口 " + std::to_string(port) + " 失败：98");
    EXPECT_EQ(listener.port(), std::nullopt);
}
