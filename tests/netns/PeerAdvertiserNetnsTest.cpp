#include "p2p/transport/PeerAdvertiser.h"
#include "p2p/transport/PeerBrowser.h"
#include "support/NamespaceSandbox.h"
#include "support/p2p/TransportTesting.h"

#include <asio/ip/udp.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>
#include <gtest/gtest.h>

using namespace p2p;
using namespace p2p::testing;
using namespace tess::testing;
using tcp = asio::ip::tcp;

namespace {

DeviceInfo studio()
{
    return {"Studio", "Linux", std::nullopt, "DESKTOP-1"};
}

// The records of one name as the daemon answers a direct (legacy unicast) DNS query.
struct Answer {
    std::vector<std::string> txt; // in wire order
    std::uint16_t port = 0;
};

void appendName(std::vector<std::uint8_t>& packet, const std::string& name)
{
    std::size_t start = 0;
    while (start < name.size()) {
        std::size_t dot = name.find('.', start);
        if (dot == std::string::npos)
            dot = name.size();
        packet.push_back(static_cast<std::uint8_t>(dot - start));
        packet.insert(packet.end(), name.begin() + static_cast<std::ptrdiff_t>(start), name.begin() + static_cast<std::ptrdiff_t>(dot));
        start = dot + 1;
    }
    packet.push_back(0);
}

std::size_t skipName(const std::vector<std::uint8_t>& packet, std::size_t at)
{
    while (at < packet.size()) {
        const std::uint8_t length = packet[at];
        if (length == 0)
            return at + 1;
        if ((length & 0xC0) == 0xC0)
            return at + 2;
        at += 1 + length;
    }
    return at;
}

std::uint16_t be16(const std::vector<std::uint8_t>& packet, std::size_t at)
{
    return static_cast<std::uint16_t>(packet[at] << 8 | packet[at + 1]);
}

Answer query(const std::string& instance)
{
    asio::io_context io;
    asio::ip::udp::socket socket(io, asio::ip::udp::endpoint(asio::ip::address_v4::loopback(), 0));
    Answer answer;
    for (std::uint16_t type : {std::uint16_t{16}, std::uint16_t{33}}) {
        std::vector<std::uint8_t> packet = {0x12, 0x34, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0};
        appendName(packet, instance + "._kalvenstroud._tcp.local");
        packet.insert(packet.end(), {0, static_cast<std::uint8_t>(type), 0, 1});
        socket.send_to(asio::buffer(packet), asio::ip::udp::endpoint(asio::ip::address_v4::loopback(), 5353));
        std::vector<std::uint8_t> reply(9000);
        reply.resize(socket.receive(asio::buffer(reply)));
        std::size_t at = 12;
        for (int q = 0; q < be16(reply, 4); ++q)
            at = skipName(reply, at) + 4;
        for (int a = 0; a < be16(reply, 6) && at < reply.size(); ++a) {
            at = skipName(reply, at);
            const std::uint16_t recordType = be16(reply, at);
            const std::uint16_t length = be16(reply, at + 8);
            const std::size_t data = at + 10;
            if (recordType == 16 && type == 16) {
                for (std::size_t i = data; i < data + length;) {
                    answer.txt.emplace_back(reply.begin() + static_cast<std::ptrdiff_t>(i + 1),
                        reply.begin() + static_cast<std::ptrdiff_t>(i + 1 + reply[i]));
                    i += 1 + reply[i];
                }
            }
            if (recordType == 33 && type == 33)
                answer.port = be16(reply, data + 4);
            at = data + length;
        }
    }
    return answer;
}

} // namespace

TEST(PeerAdvertiserNetns, AnnouncesNameTxtAndPortAndServesOnePhone)
{
    TESS_SKIP_WITHOUT_SANDBOX();
    asio::io_context io;
    LogCapture log;
    PeerAdvertiser advertiser(io.get_executor(), studio(), true);
    std::vector<std::unique_ptr<NWConnectionByteStream>> streams;
    runUntilDone(io, advertiser.start([&](std::unique_ptr<NWConnectionByteStream> s) { streams.push_back(std::move(s)); }));
    ASSERT_TRUE(advertiser.port().has_value());
    EXPECT_EQ(advertiser.serviceName(), "Studio");

    const Answer answer = query("Studio");
    EXPECT_EQ(answer.txt, (std::vector<std::string>{"v=1", "n=Studio", "id=DESKTOP-1", "m=Linux"}));
    EXPECT_EQ(answer.port, *advertiser.port());

    // IPv4 and IPv6 reach the one port; the second phone is turned away once the first has greeted.
    tcp::socket first(io), second(io);
    first.connect(tcp::endpoint(asio::ip::address_v6::loopback(), *advertiser.port()));
    asio::write(first, asio::buffer(helloFrame()));
    ASSERT_TRUE(runUntil(io, [&] { return streams.size() == 1; }));
    second.connect(tcp::endpoint(asio::ip::address_v4::loopback(), *advertiser.port()));
    ASSERT_TRUE(runUntil(io, [&] { return log.contains("已有设备在传输，拒绝新连接"); }));
    char byte;
    asio::error_code error;
    asio::read(second, asio::buffer(&byte, 1), error);
    EXPECT_EQ(error, asio::error::eof);
}

TEST(PeerAdvertiserNetns, ASecondServiceOfTheSameNameIsRenamed)
{
    TESS_SKIP_WITHOUT_SANDBOX();
    asio::io_context io;
    PeerAdvertiser first(io.get_executor(), studio(), true);
    PeerAdvertiser second(io.get_executor(), studio(), true);
    runUntilDone(io, first.start([](std::unique_ptr<NWConnectionByteStream>) {}));
    runUntilDone(io, second.start([](std::unique_ptr<NWConnectionByteStream>) {}));
    EXPECT_EQ(first.serviceName(), "Studio");
    EXPECT_EQ(second.serviceName(), "Studio #2");
    EXPECT_EQ(query("Studio #2").port, *second.port());
}

// Runs in a /run of its own, where no daemon listens.
TESS_CHILD_BODY(advertiseWithoutDaemon)
{
    if (std::string error = prepareSandbox({}); !error.empty()) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 2;
    }
    asio::io_context io;
    PeerAdvertiser advertiser(io.get_executor(), studio(), true);
    const std::string outcome = runUntilDone(io, failureOf(advertiser.start([](std::unique_ptr<NWConnectionByteStream>) {})));
    std::fprintf(stderr, "outcome: %s\n", outcome.c_str());
    return outcome == std::string("广播失败：") + noAvahiDaemonText && !advertiser.port() ? 0 : 1;
}

TEST(PeerAdvertiserNetns, NoDaemonGivesTheInstallText)
{
    TESS_SKIP_WITHOUT_SANDBOX();
    ChildProcess child("advertiseWithoutDaemon", {.mountNamespace = true});
    EXPECT_EQ(child.wait(), (ExitStatus {true, 0, 0}));
}

// Another computer on the link already announces "Studio": the advertiser takes "Studio #2" and
// goes on. The other computer is a child in network namespaces of its own, joined by a veth pair.
TESS_CHILD_BODY(announceStudioElsewhere)
{
    if (std::string error = prepareSandbox({.avahi = true, .hostName = "tess-other"}); !error.empty()) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 2;
    }
    asio::io_context io;
    PeerAdvertiser advertiser(io.get_executor(), {"Studio", std::nullopt, std::nullopt, "DESKTOP-OTHER"}, true);
    runUntilDone(io, advertiser.start([](std::unique_ptr<NWConnectionByteStream>) {}));
    notifyParent();
    io.run(); // until the parent ends it
    return 0;
}

TEST(PeerAdvertiserNetns, ARemoteNameCollisionRenamesAndGoesOn)
{
    TESS_SKIP_WITHOUT_SANDBOX();
    ChildProcess other("announceStudioElsewhere", {.netNamespace = true, .pidNamespace = true});
    ASSERT_TRUE(other.waitForNotice(std::chrono::seconds(20)));
    ASSERT_EQ(linkVethPair(other.pid(), "10.77.0.1/24", "10.77.0.2/24"), "");

    asio::io_context io;
    PeerBrowser browser(io.get_executor(), true);
    runUntilDone(io, browser.start([](const std::vector<DiscoveredPeer>&) {}));
    auto seen = [&] {
        const auto& peers = browser.peers();
        return std::any_of(peers.begin(), peers.end(), [](const DiscoveredPeer& p) { return p.id == "DESKTOP-OTHER"; });
    };
    ASSERT_TRUE(runUntil(io, seen));

    PeerAdvertiser advertiser(io.get_executor(), studio(), true);
    runUntilDone(io, advertiser.start([](std::unique_ptr<NWConnectionByteStream>) {}));
    EXPECT_EQ(advertiser.serviceName(), "Studio #2");
    EXPECT_TRUE(advertiser.port().has_value());
}
