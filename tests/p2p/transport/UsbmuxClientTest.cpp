#include "p2p/transport/UsbmuxClient.h"
#include "support/p2p/FakeUsbmuxDaemon.h"
#include "support/p2p/RunAwaitable.h"
#include "support/p2p/TransportTesting.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace p2p;
using p2p::testing::FakeUsbmuxDaemon;
using p2p::testing::failureOf;
using p2p::testing::runAwaitable;
using Format = FakeUsbmuxDaemon::Format;

namespace {

std::string entry(const std::string& deviceID, const std::string& properties)
{
    return "<dict><key>DeviceID</key>" + deviceID + (properties.empty() ? "" : "<key>Properties</key><dict>" + properties + "</dict>")
        + "</dict>";
}

std::string deviceList(const std::string& entries)
{
    return FakeUsbmuxDaemon::plistXML("<key>DeviceList</key><array>" + entries + "</array>");
}

std::string result(const std::string& number)
{
    return FakeUsbmuxDaemon::plistXML(number.empty() ? "<key>Other</key><true/>" : "<key>Number</key>" + number);
}

Bytes rawPacket(std::uint32_t length, std::uint32_t type, Bytes body = {})
{
    Bytes packet = UsbmuxClient::encodePacket(type, 1, body);
    packet[0] = static_cast<std::uint8_t>(length);
    packet[1] = static_cast<std::uint8_t>(length >> 8);
    packet[2] = static_cast<std::uint8_t>(length >> 16);
    packet[3] = static_cast<std::uint8_t>(length >> 24);
    return packet;
}

asio::awaitable<std::string> listOutcome(UsbmuxClient& client, std::vector<UsbmuxDevice>& devices)
{
    try {
        devices = co_await client.listDevices();
    } catch (const TransportError& error) {
        co_return error.description();
    }
    co_return std::string();
}

// Connects; on success sends "ping" through the tunnel and expects it back.
asio::awaitable<std::string> connectOutcome(UsbmuxClient& client)
{
    std::unique_ptr<POSIXSocketByteStream> stream;
    try {
        stream = co_await client.connect(5, 47077);
    } catch (const TransportError& error) {
        co_return error.description();
    }
    Bytes ping{'p', 'i', 'n', 'g'};
    co_await stream->send(ping);
    Bytes echoed;
    while (echoed.size() < ping.size()) {
        std::optional<Bytes> piece = co_await stream->receive();
        if (!piece)
            break;
        echoed.insert(echoed.end(), piece->begin(), piece->end());
    }
    co_await stream->close();
    co_return echoed == ping ? "echoed" : "tunnel broken";
}

} // namespace

TEST(UsbmuxClient, ListDevicesReadsRepliesAndRefusesBadOnes)
{
    const UsbmuxDevice phone{5, "00008101-AAA", "USB", 4776};
    const std::string phoneEntry = entry("<integer>5</integer>",
        "<key>SerialNumber</key><string>00008101-AAA</string><key>ConnectionType</key><string>USB</string>"
        "<key>ProductID</key><integer>4776</integer>");
    struct Case {
        const char* name;
        Bytes reply;
        std::vector<UsbmuxDevice> devices;
        std::string failure;
    };
    const Case cases[] = {
        {"device 0 dropped", FakeUsbmuxDaemon::plistPacket(deviceList(phoneEntry + entry("<integer>0</integer>",
             "<key>SerialNumber</key><string>ZERO</string>"))),
            {phone}, ""},
        {"binary, flat entry, UDID, no type, product 0",
            FakeUsbmuxDaemon::plistPacket(deviceList("<dict><key>DeviceID</key><integer>9</integer><key>UDID</key>"
                                                     "<string>U-9</string><key>ProductID</key><integer>0</integer></dict>"
                                                     + entry("<integer>-1</integer>", "<key>UDID</key><string>NEG</string>")
                                                     + entry("<integer>3</integer>", "<key>ConnectionType</key><string>Network</string>")),
                Format::binary),
            {{9, "U-9", "USB", std::nullopt}}, ""},
        {"no list", FakeUsbmuxDaemon::plistPacket(FakeUsbmuxDaemon::plistXML("")), {}, ""},
        {"length 12", rawPacket(12, 8), {}, "USB 连接失败：非法包长度 12"},
        {"length over 1 MiB", rawPacket((1u << 20) + 1, 8), {}, "USB 连接失败：非法包长度 1048577"},
        {"length 16", rawPacket(16, 8), {}, "USB 连接失败：ListDevices 无法解析 plist"},
        {"type 1", rawPacket(20, 1, Bytes(4, 0)), {}, "USB 连接失败：ListDevices 响应类型异常：1"},
        {"closed mid-reply", rawPacket(40, 8, Bytes(4, 0)), {}, "USB 连接失败：usbmuxd 连接已关闭"},
    };
    asio::io_context io;
    FakeUsbmuxDaemon daemon;
    UsbmuxClient client(io.get_executor(), daemon.socketPath());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        daemon.script({{c.reply}});
        std::vector<UsbmuxDevice> devices;
        EXPECT_EQ(runAwaitable(io, listOutcome(client, devices)), c.failure);
        EXPECT_EQ(devices, c.devices);
    }
    EXPECT_TRUE((UsbmuxDevice{1, "x", "usb", {}}.isUSB()));
    EXPECT_FALSE((UsbmuxDevice{1, "x", "Network", {}}.isUSB()));

    const auto requests = daemon.requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests[0].packet.version, 1u);
    EXPECT_EQ(requests[0].packet.type, 8u);
    EXPECT_EQ(requests[0].packet.tag, 1u);
    for (const char* text : {"<string>ListDevices</string>", "<key>ClientVersionString</key>\n\t<string>Quandrellix</string>",
             "<key>ProgName</key>\n\t<string>Tessivarnholm</string>", "<key>kLibUSBMuxVersion</key>\n\t<integer>3</integer>"})
        EXPECT_NE(requests[0].xml.find(text), std::string::npos) << text << "\n" << requests[0].xml;
}

TEST(UsbmuxClient, ConnectResultsAndTheTunnel)
{
    using After = FakeUsbmuxDaemon::After;
    struct Case {
        const char* name;
        Bytes reply;
        After after;
        std::string outcome;
    };
    const Case cases[] = {
        {"xml 0", FakeUsbmuxDaemon::plistPacket(result("<integer>0</integer>")), After::echo, "echoed"},
        {"binary 0", FakeUsbmuxDaemon::plistPacket(result("<integer>0</integer>"), Format::binary), After::echo, "echoed"},
        {"raw 0", rawPacket(20, 1, Bytes(4, 0)), After::echo, "echoed"},
        {"no device", FakeUsbmuxDaemon::plistPacket(result("<integer>2</integer>")), After::close,
            "USB 连接失败：找不到设备，请检查 USB 线并信任此电脑（错误码 2）"},
        {"refused", FakeUsbmuxDaemon::plistPacket(result("<integer>3</integer>"), Format::binary), After::close,
            "USB 连接失败：连接被拒绝，请确认 iPhone 已点「准备连接」（错误码 3）"},
        {"version", FakeUsbmuxDaemon::plistPacket(result("<integer>6</integer>")), After::close,
            "USB 连接失败：usbmuxd 协议版本不匹配（错误码 6）"},
        {"other", FakeUsbmuxDaemon::plistPacket(result("<real>7.9</real>")), After::close,
            "USB 连接失败：错误码 7。请确认已插线、已信任电脑，且 iPhone 已准备连接。"},
        {"no number", FakeUsbmuxDaemon::plistPacket(result("")), After::close, "USB 连接失败：Connect 无法解析结果"},
        {"short raw", rawPacket(18, 1, Bytes(2, 0)), After::close,
            "USB 连接失败：错误码 4294967295。请确认已插线、已信任电脑，且 iPhone 已准备连接。"},
        {"type 5", rawPacket(16, 5), After::close, "USB 连接失败：Connect 响应类型异常：5"},
    };
    asio::io_context io;
    FakeUsbmuxDaemon daemon;
    UsbmuxClient client(io.get_executor(), daemon.socketPath());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        daemon.script({{c.reply, c.after}});
        EXPECT_EQ(runAwaitable(io, connectOutcome(client)), c.outcome);
    }
    const std::string xml = daemon.requests().at(0).xml;
    for (const char* text : {"<string>Connect</string>", "<key>DeviceID</key>\n\t<integer>5</integer>",
             "<key>PortNumber</key>\n\t<integer>58807</integer>"})
        EXPECT_NE(xml.find(text), std::string::npos) << text << "\n" << xml;
}

TEST(UsbmuxClient, SocketPathsAbsentDaemonAndSilentDaemon)
{
    asio::io_context io;
    FakeUsbmuxDaemon silent;
    silent.script({{Bytes{}, FakeUsbmuxDaemon::After::silent}});
    // A path of exactly 107 bytes fits sun_path with its NUL; 108 does not.
    const std::string folder = silent.folder().string() + "/";
    const std::string path107 = folder + std::string(107 - folder.size(), 'p');
    FakeUsbmuxDaemon longPath(path107);
    longPath.script({{FakeUsbmuxDaemon::plistPacket(deviceList(""))}});

    struct Case {
        const char* name;
        std::string path;
        std::string failure;
    };
    const Case cases[] = {
        {"107 bytes", path107, ""},
        {"108 bytes", path107 + "p", "USB 连接失败：usbmux 路径过长"},
        {"no daemon", folder + "absent", "USB 连接失败：无法连接 usbmuxd（2）。请确认已安装 usbmuxd，并已用数据线连接 iPhone。"},
        {"silent", silent.socketPath(), "USB 连接失败：与 usbmuxd 通信超时（1 秒）"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UsbmuxClient client(io.get_executor(), c.path, std::chrono::seconds(1));
        std::vector<UsbmuxDevice> devices;
        EXPECT_EQ(runAwaitable(io, listOutcome(client, devices)), c.failure);
    }
}
