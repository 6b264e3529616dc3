// What both listeners do with an accepted connection, whatever the owner's handler does with it.

#include "p2p/transport/PeerAdvertiser.h"
#include "p2p/transport/POSIXSocketByteStream.h"
#include "p2p/transport/WiredPeerListener.h"
#include "support/p2p/FakeServiceAnnouncer.h"
#include "support/p2p/TransportTesting.h"

#include <asio/write.hpp>
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace p2p;
using namespace p2p::testing;
using tcp = asio::ip::tcp;

namespace {

// The advertiser and the wired listener behind one face: `start` returns the port; each accepted
// connection reaches `onAccepted` with the descriptor of the stream handed over, which `kept` holds.
struct Listener {
    virtual ~Listener() = default;
    virtual std::uint16_t start(asio::io_context& io, std::function<void(int fd)> onAccepted) = 0;
    std::vector<std::shared_ptr<void>> kept;
};

struct Advertiser final : Listener {
    std::unique_ptr<PeerAdvertiser> advertiser;
    std::uint16_t start(asio::io_context& io, std::function<void(int)> onAccepted) override
    {
        advertiser = std::make_unique<PeerAdvertiser>(io.get_executor(), DeviceInfo {"Studio", {}, {}, "DESKTOP-1"},
            true, std::make_unique<FakeServiceAnnouncer>(std::make_shared<FakeServiceAnnouncer::State>()));
        runUntilDone(io, advertiser->start([this, onAccepted](std::unique_ptr<NWConnectionByteStream> stream) {
            const int fd = stream->socket().native_handle();
            kept.push_back(std::shared_ptr<NWConnectionByteStream>(std::move(stream)));
            onAccepted(fd);
        }));
        return *advertiser->port();
    }
};

struct Wired final : Listener {
    std::unique_ptr<WiredPeerListener> listener;
    std::uint16_t start(asio::io_context& io, std::function<void(int)> onAccepted) override
    {
        listener = std::make_unique<WiredPeerListener>(io.get_executor(), 0);
        runUntilDone(io, listener->start([this, onAccepted](std::unique_ptr<ByteStream> stream) {
            std::shared_ptr<ByteStream> shared(std::move(stream));
            kept.push_back(shared);
            onAccepted(static_cast<POSIXSocketByteStream&>(*shared).fileDescriptor());
        }));
        return *listener->port();
    }
};

struct Kind {
    const char* name;
    std::function<std::unique_ptr<Listener>()> make;
};

const Kind kinds[] = {
    {"advertiser", [] { return std::make_unique<Advertiser>(); }},
    {"wired listener", [] { return std::make_unique<Wired>(); }},
};

int intOption(int fd, int level, int name)
{
    int value = -1;
    socklen_t length = sizeof value;
    EXPECT_EQ(getsockopt(fd, level, name, &value, &length), 0);
    return value;
}

} // namespace

// A dead phone must be noticed (keep-alive) and small frames must not wait for Nagle.
TEST(AcceptedConnection, CarriesKeepAliveAndNoDelay)
{
    for (const Kind& kind : kinds) {
        SCOPED_TRACE(kind.name);
        asio::io_context io;
        std::unique_ptr<Listener> listener = kind.make();
        std::optional<int> accepted;
        const std::uint16_t port = listener->start(io, [&](int fd) { accepted = fd; });
        tcp::socket phone(io);
        phone.connect({asio::ip::address_v4::loopback(), port});
        asio::write(phone, asio::buffer(helloFrame()));
        ASSERT_TRUE(runUntil(io, [&] { return accepted.has_value(); }));
        EXPECT_EQ(intOption(*accepted, SOL_SOCKET, SO_KEEPALIVE), 1);
        EXPECT_NE(intOption(*accepted, IPPROTO_TCP, TCP_NODELAY), 0);
        EXPECT_EQ(intOption(*accepted, IPPROTO_TCP, TCP_KEEPIDLE), 5);
    }
}

// The owner may let go of the listener in its own handler; the accept loop then ends untouched.
TEST(AcceptedConnection, OwnerDroppingTheListenerInItsHandler)
{
    for (const Kind& kind : kinds) {
        SCOPED_TRACE(kind.name);
        asio::io_context io;
        std::unique_ptr<Listener> listener = kind.make();
        std::vector<std::shared_ptr<void>> kept;
        bool accepted = false;
        const std::uint16_t port = listener->start(io, [&](int) {
            accepted = true;
            kept = std::move(listener->kept);
            listener.reset();
        });
        tcp::socket phone(io);
        phone.connect({asio::ip::address_v4::loopback(), port});
        asio::write(phone, asio::buffer(helloFrame()));
        ASSERT_TRUE(runUntil(io, [&] { return accepted; }));
        io.restart();
        io.poll();
        EXPECT_EQ(listener, nullptr);
    }
}

// Out of descriptors for a while (EMFILE): the advertiser keeps accepting and serves the waiting
// phone once descriptors are free again.
TEST(AcceptedConnection, AdvertiserOutlivesRunningOutOfDescriptors)
{
    asio::io_context io;
    LogCapture log;
    Advertiser listener;
    bool accepted = false;
    const std::uint16_t port = listener.start(io, [&](int) { accepted = true; });
    // The phone waits in the backlog until the loop runs again. Text and connection are made while
    // descriptors remain: the sanitizer's first look at an error category needs one.
    tcp::socket phone(io);
    phone.connect({asio::ip::address_v4::loopback(), port});
    asio::write(phone, asio::buffer(helloFrame()));
    const std::string failure = "接入失败：" + std::error_code(EMFILE, std::system_category()).message();

    rlimit original {};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &original), 0);
    const int lowestFree = dup(0);
    ASSERT_GE(lowestFree, 0);
    close(lowestFree);
    rlimit lowered = original;
    lowered.rlim_cur = static_cast<rlim_t>(lowestFree); // every descriptor below is in use
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
    const bool refused = runUntil(io, [&] { return log.contains(failure); });
    setrlimit(RLIMIT_NOFILE, &original);
    ASSERT_TRUE(refused);
    EXPECT_FALSE(accepted);

    EXPECT_TRUE(runUntil(io, [&] { return accepted; }));
}
