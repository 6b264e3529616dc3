#include "p2p/transport/P2PService.h"
#include "p2p/transport/TransportError.h"
#include "support/p2p/TransportTesting.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

using namespace p2p;

TEST(TransportError, DescriptionsAndPermissionPredicate)
{
    struct Case {
        TransportError error;
        std::string description;
        bool permissionDenied;
    };
    const Case cases[] = {
        {TransportError::connectTimedOut(15), "连接超时（15 秒内未就绪）", false},
        {TransportError::ioTimedOut(30), "发送超时（30 秒内未写出），链路可能已中断", false},
        {TransportError::ioTimedOut(2.9), "发送超时（2 秒内未写出），链路可能已中断", false},
        {TransportError::connectionFailed(""), "连接失败：", false},
        {TransportError::advertiserFailed("PolicyDenied 本地网络"), "广播失败：PolicyDenied 本地网络", false},
        {TransportError::browserFailed("policydenied"), "搜索失败：policydenied", true},
        {TransportError::browserFailed("需要本地网络"), "搜索失败：需要本地网络", true},
        {TransportError::browserFailed("Daemon not running"), "搜索失败：Daemon not running", false},
        {TransportError::usbmuxFailed("x"), "USB 连接失败：x", false},
        {TransportError::wiredListenFailed("x"), "一线监听失败：x", false},
        {TransportError::notReady(), "连接未就绪", false},
        {TransportError::localNetworkPermissionDenied(), "未获得本地网络权限", true},
        {TransportError::busy(), "已有设备正在传输", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.error.description(), c.description);
        EXPECT_EQ(c.error.isLocalNetworkPermissionDenied(), c.permissionDenied) << c.description;
    }
}

TEST(P2PService, TXTRecordKeepsWireOrderAndFitsEachEntry)
{
    const std::string longName(300, 'a');
    // 90 three-byte characters: 270 bytes, cut to whole characters within 253 bytes.
    std::string chinese;
    for (int i = 0; i < 90; ++i)
        chinese += "图";
    struct Case {
        DeviceInfo device;
        P2PService::TXTRecord expected;
    };
    const Case cases[] = {
        {{"Studio", std::nullopt, "17", "ID-1"}, {{"v", "1"}, {"n", "Studio"}, {"id", "ID-1"}}},
        {{"Studio", "Mac14,2", std::nullopt, "ID-1"}, {{"v", "1"}, {"n", "Studio"}, {"id", "ID-1"}, {"m", "Mac14,2"}}},
        {{longName, std::nullopt, std::nullopt, "X"}, {{"v", "1"}, {"n", std::string(253, 'a')}, {"id", "X"}}},
        {{chinese, std::nullopt, std::nullopt, "X"}, {{"v", "1"}, {"n", chinese.substr(0, 252)}, {"id", "X"}}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(P2PService::makeTXTRecord(c.device), c.expected);
}

TEST(P2PService, ParametersReachTheSocket)
{
    P2PService::Parameters withPeerToPeer = P2PService::makeParameters(true);
    P2PService::Parameters without = P2PService::makeParameters(false);
    EXPECT_FALSE(without.includePeerToPeer);
    withPeerToPeer.includePeerToPeer = false;
    EXPECT_EQ(withPeerToPeer, without);

    asio::io_context io;
    auto [client, accepted] = p2p::testing::loopbackPair(io);
    P2PService::applyParameters(without, accepted);
    struct Option {
        int level;
        int name;
        int expected;
    };
    const Option options[] = {
        {IPPROTO_TCP, TCP_NODELAY, 1},
        {SOL_SOCKET, SO_KEEPALIVE, 1},
        {IPPROTO_TCP, TCP_KEEPIDLE, 5},
        {IPPROTO_TCP, TCP_KEEPINTVL, 5},
        {IPPROTO_TCP, TCP_KEEPCNT, 3},
    };
    for (const Option& option : options) {
        int value = -1;
        socklen_t length = sizeof value;
        ASSERT_EQ(getsockopt(accepted.native_handle(), option.level, option.name, &value, &length), 0);
        EXPECT_EQ(value, option.expected) << option.name;
    }
}
