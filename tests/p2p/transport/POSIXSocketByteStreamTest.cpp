#include "p2p/transport/POSIXSocketByteStream.h"
#include "support/p2p/RunAwaitable.h"
#include "support/p2p/TransportTesting.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

using namespace p2p;
using p2p::testing::failureOf;
using p2p::testing::runAwaitable;

namespace {

struct SocketPair {
    SocketPair()
    {
        int fds[2];
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds);
        a = fds[0];
        b = fds[1];
    }
    int a;
    int b;
};

asio::awaitable<Bytes> readAll(ByteStream& stream)
{
    Bytes all;
    while (std::optional<Bytes> piece = co_await stream.receive())
        all.insert(all.end(), piece->begin(), piece->end());
    co_return all;
}

asio::awaitable<void> sendThenClose(ByteStream& stream, Bytes bytes)
{
    co_await stream.send(std::move(bytes));
    co_await stream.close();
}

} // namespace

TEST(POSIXSocketByteStream, LargeSendReachesASmallReaderByteExact)
{
    asio::io_context io;
    SocketPair pair;
    POSIXSocketByteStream writer(io.get_executor(), pair.a);
    POSIXSocketByteStream reader(io.get_executor(), pair.b, 4096); // many small reads
    Bytes payload(8 << 20);
    for (std::size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<std::uint8_t>(i * 131 + (i >> 16));
    asio::co_spawn(io, sendThenClose(writer, payload), asio::detached);
    EXPECT_EQ(runAwaitable(io, readAll(reader)), payload);
}

TEST(POSIXSocketByteStream, ErrorsCarryErrnoAndCloseEndsEverything)
{
    asio::io_context io;
    {
        // The peer is gone: EPIPE, and the process lives on (SIGPIPE is ignored).
        SocketPair pair;
        POSIXSocketByteStream stream(io.get_executor(), pair.a);
        ::close(pair.b);
        EXPECT_EQ(runAwaitable(io, failureOf(stream.send(Bytes{1, 2}))), "连接失败：write 失败：32");
        EXPECT_EQ(runAwaitable(io, stream.receive()), std::nullopt);
    }
    {
        // A pending read wakes with the end of the stream when the stream closes.
        SocketPair pair;
        POSIXSocketByteStream stream(io.get_executor(), pair.a);
        std::optional<std::optional<Bytes>> received;
        asio::co_spawn(io, [&]() -> asio::awaitable<void> { received = co_await stream.receive(); }, asio::detached);
        io.restart();
        io.poll();
        EXPECT_FALSE(received.has_value());
        runAwaitable(io, stream.close());
        ASSERT_TRUE(received.has_value());
        EXPECT_EQ(*received, std::nullopt);
        EXPECT_EQ(stream.fileDescriptor(), -1);
        ::close(pair.b);
    }
    {
        // Ten bytes ready: one receive returns exactly them; an empty send writes nothing.
        SocketPair pair;
        POSIXSocketByteStream stream(io.get_executor(), pair.a);
        ASSERT_EQ(::write(pair.b, "0123456789", 10), 10);
        EXPECT_EQ(runAwaitable(io, stream.receive())->size(), 10u);
        EXPECT_EQ(runAwaitable(io, failureOf(stream.send(Bytes{}))), "");
        runAwaitable(io, stream.close());
        runAwaitable(io, stream.close());
        {
            POSIXSocketByteStream* s = &stream;
            EXPECT_EQ(runAwaitable(io, failureOf(s->send(Bytes{}))), "连接未就绪");
            EXPECT_EQ(runAwaitable(io, failureOf(s->send(Bytes{1}))), "连接未就绪");
            EXPECT_EQ(runAwaitable(io, failureOf(s->receive())), "连接未就绪");
        }
        char byte;
        EXPECT_EQ(::read(pair.b, &byte, 1), 0); // shut down and closed
        ::close(pair.b);
    }
    {
        POSIXSocketByteStream stream(io.get_executor(), -1);
        EXPECT_EQ(runAwaitable(io, failureOf(stream.send(Bytes{1}))), "连接未就绪");
        EXPECT_EQ(runAwaitable(io, failureOf(stream.receive())), "连接未就绪");
        runAwaitable(io, stream.close());
        EXPECT_TRUE(stream.isClosed());
    }
}
