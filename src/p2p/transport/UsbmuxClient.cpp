#include "p2p/transport/UsbmuxClient.h"

#include "p2p/transport/TransportError.h"

#include <asio/local/stream_protocol.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>
#include <plist/plist.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace p2p {

namespace {

constexpr std::string_view clientVersionString = "Quandrellix";
constexpr std::string_view programName = "Tessivarnholm";
constexpr std::uint64_t libUSBMuxVersion = 3;

struct PlistFree {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using Plist = std::unique_ptr<void, PlistFree>;

void putLittleEndian(Bytes& out, std::uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<std::uint8_t>(value >> shift));
}

std::uint32_t littleEndian(const std::uint8_t* bytes)
{
    return std::uint32_t(bytes[0]) | std::uint32_t(bytes[1]) << 8 | std::uint32_t(bytes[2]) << 16
        | std::uint32_t(bytes[3]) << 24;
}

Plist requestDictionary(std::string_view messageType)
{
    Plist dictionary(plist_new_dict());
    plist_dict_set_item(dictionary.get(), "MessageType", plist_new_string(std::string(messageType).c_str()));
    plist_dict_set_item(dictionary.get(), "ClientVersionString", plist_new_string(std::string(clientVersionString).c_str()));
    plist_dict_set_item(dictionary.get(), "ProgName", plist_new_string(std::string(programName).c_str()));
    plist_dict_set_item(dictionary.get(), "kLibUSBMuxVersion", plist_new_uint(libUSBMuxVersion));
    return dictionary;
}

Bytes xmlBody(const Plist& dictionary)
{
    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(dictionary.get(), &xml, &length);
    if (!xml)
        throw TransportError::usbmuxFailed("无法生成请求");
    Bytes body(xml, xml + length);
    plist_to_xml_free(xml);
    return body;
}

// A reply body as a dictionary (XML or binary), or null.
Plist parseDictionary(const Bytes& payload)
{
    if (payload.empty() || payload.size() > std::numeric_limits<std::uint32_t>::max())
        return nullptr;
    plist_t node = nullptr;
    plist_from_memory(reinterpret_cast<const char*>(payload.data()), static_cast<std::uint32_t>(payload.size()), &node);
    Plist parsed(node);
    if (!node || plist_get_node_type(node) != PLIST_DICT)
        return nullptr;
    return parsed;
}

// Integers arrive unsigned (two's complement for negatives); reals are clamped, then truncated;
// anything else, booleans included, is 0.
std::int64_t intValue(plist_t node)
{
    if (!node)
        return 0;
    switch (plist_get_node_type(node)) {
    case PLIST_UINT: {
        std::uint64_t value = 0;
        plist_get_uint_val(node, &value);
        return static_cast<std::int64_t>(value);
    }
    case PLIST_REAL: {
        double value = 0;
        plist_get_real_val(node, &value);
        if (std::isnan(value))
            return 0;
        const double limit = 9.2e18;
        return static_cast<std::int64_t>(std::trunc(std::clamp(value, -limit, limit)));
    }
    default:
        return 0;
    }
}

std::optional<std::string> stringValue(plist_t node)
{
    if (!node || plist_get_node_type(node) != PLIST_STRING)
        return std::nullopt;
    std::uint64_t length = 0;
    const char* text = plist_get_string_ptr(node, &length);
    return text ? std::optional<std::string>(std::string(text, length)) : std::nullopt;
}

std::optional<UsbmuxDevice> deviceFrom(plist_t entry)
{
    UsbmuxDevice device;
    device.deviceID = intValue(plist_dict_get_item(entry, "DeviceID"));
    plist_t properties = plist_dict_get_item(entry, "Properties");
    if (!properties || plist_get_node_type(properties) != PLIST_DICT)
        properties = entry;
    if (auto serial = stringValue(plist_dict_get_item(properties, "SerialNumber")))
        device.udid = *serial;
    else if (auto udid = stringValue(plist_dict_get_item(properties, "UDID")))
        device.udid = *udid;
    if (auto type = stringValue(plist_dict_get_item(properties, "ConnectionType")))
        device.connectionType = *type;
    if (const std::int64_t product = intValue(plist_dict_get_item(properties, "ProductID")); product != 0)
        device.productID = product;
    if (device.deviceID <= 0 || device.udid.empty())
        return std::nullopt;
    return device;
}

std::string errorNumber(const asio::error_code& error)
{
    return std::to_string(errnoOf(error));
}

} // namespace

bool UsbmuxDevice::isUSB() const
{
    return connectionType.size() == 3 && std::equal(connectionType.begin(), connectionType.end(), "USB",
        [](char a, char b) { return std::toupper(static_cast<unsigned char>(a)) == b; });
}

// One socket to the daemon and the timer that bounds the exchange on it. Shared with the timer's
// handler, which may run after the request has returned.
struct UsbmuxClient::Exchange {
    explicit Exchange(const asio::any_io_executor& executor) : socket(executor), timer(executor) { }
    asio::local::stream_protocol::socket socket;
    asio::steady_timer timer;
    bool timedOut = false;
    std::string timeoutText;

    void check() const
    {
        if (timedOut)
            throw TransportError::usbmuxFailed(timeoutText);
    }
    void finish()
    {
        timer.cancel();
    }
};

UsbmuxClient::UsbmuxClient(asio::any_io_executor executor, std::string socketPath, std::chrono::milliseconds exchangeTimeout)
    : executor_(std::move(executor))
    , socketPath_(std::move(socketPath))
    , exchangeTimeout_(exchangeTimeout)
    , logger_(P2PLog::Category::transport)
{
}

std::uint16_t UsbmuxClient::wirePort(std::uint16_t port)
{
    return static_cast<std::uint16_t>((port >> 8) | (port << 8));
}

Bytes UsbmuxClient::encodePacket(std::uint32_t type, std::uint32_t tag, const Bytes& body)
{
    Bytes packet;
    packet.reserve(headerByteCount + body.size());
    putLittleEndian(packet, static_cast<std::uint32_t>(headerByteCount + body.size()));
    putLittleEndian(packet, 1);
    putLittleEndian(packet, type);
    putLittleEndian(packet, tag);
    packet.insert(packet.end(), body.begin(), body.end());
    return packet;
}

UsbmuxClient::Packet UsbmuxClient::decodeHeader(const std::uint8_t* header)
{
    Packet packet;
    packet.length = littleEndian(header);
    packet.version = littleEndian(header + 4);
    packet.type = littleEndian(header + 8);
    packet.tag = littleEndian(header + 12);
    return packet;
}

std::string UsbmuxClient::connectFailureMessage(std::int64_t code)
{
    switch (code) {
    case 2:
        return "找不到设备，请检查 USB 线并信任此电脑（错误码 2）";
    case 3:
        return "连接被拒绝，请确认 iPhone 已点「准备连接」（错误码 3）";
    case 6:
        return "usbmuxd 协议版本不匹配（错误码 6）";
    default:
        return "错误码 " + std::to_string(code) + "。请确认已插线、已信任电脑，且 iPhone 已准备连接。";
    }
}

asio::awaitable<std::shared_ptr<UsbmuxClient::Exchange>> UsbmuxClient::open()
{
    if (socketPath_.size() > maximumSocketPathByteCount)
        throw TransportError::usbmuxFailed("usbmux 路径过长");
    auto exchange = std::make_shared<Exchange>(executor_);
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(exchangeTimeout_).count();
    exchange->timeoutText = "与 usbmuxd 通信超时（" + std::to_string(seconds) + " 秒）";
    exchange->timer.expires_after(exchangeTimeout_);
    exchange->timer.async_wait([weak = std::weak_ptr<Exchange>(exchange)](const asio::error_code& error) {
        auto exchange = weak.lock();
        if (error || !exchange)
            return;
        exchange->timedOut = true;
        asio::error_code ignored;
        exchange->socket.close(ignored);
    });
    const asio::local::stream_protocol::endpoint endpoint(socketPath_);
    auto [error] = co_await exchange->socket.async_connect(endpoint, useNothrowAwaitable);
    exchange->check();
    if (error) {
        exchange->finish();
        throw TransportError::usbmuxFailed(
            "无法连接 usbmuxd（" + errorNumber(error) + "）。请确认已安装 usbmuxd，并已用数据线连接 iPhone。");
    }
    co_return exchange;
}

asio::awaitable<UsbmuxClient::Packet> UsbmuxClient::request(Exchange& exchange, const Bytes& packet)
{
    auto [writeError, written] = co_await asio::async_write(exchange.socket, asio::buffer(packet), useNothrowAwaitable);
    exchange.check();
    if (writeError)
        throw TransportError::usbmuxFailed("写入 usbmuxd 失败：" + errorNumber(writeError));

    auto readExact = [&exchange](std::size_t count) -> asio::awaitable<Bytes> {
        Bytes bytes(count);
        if (count == 0)
            co_return bytes;
        auto [error, read] = co_await asio::async_read(exchange.socket, asio::buffer(bytes), useNothrowAwaitable);
        exchange.check();
        if (error == asio::error::eof)
            throw TransportError::usbmuxFailed("usbmuxd 连接已关闭");
        if (error)
            throw TransportError::usbmuxFailed("读取 usbmuxd 失败：" + errorNumber(error));
        co_return bytes;
    };
    const Bytes header = co_await readExact(headerByteCount);
    Packet reply = decodeHeader(header.data());
    // Checked before the body is read or allocated.
    if (reply.length < headerByteCount || reply.length > maximumPacketByteCount)
        throw TransportError::usbmuxFailed("非法包长度 " + std::to_string(reply.length));
    reply.payload = co_await readExact(reply.length - headerByteCount);
    co_return reply;
}

asio::awaitable<std::vector<UsbmuxDevice>> UsbmuxClient::listDevices()
{
    const Bytes packet = encodePacket(plistMessageType, 1, xmlBody(requestDictionary("ListDevices")));
    std::shared_ptr<Exchange> exchange = co_await open();
    Packet reply = co_await request(*exchange, packet);
    exchange->finish();
    if (reply.type != plistMessageType)
        throw TransportError::usbmuxFailed("ListDevices 响应类型异常：" + std::to_string(reply.type));
    Plist dictionary = parseDictionary(reply.payload);
    if (!dictionary)
        throw TransportError::usbmuxFailed("ListDevices 无法解析 plist");

    std::vector<UsbmuxDevice> devices;
    plist_t list = plist_dict_get_item(dictionary.get(), "DeviceList");
    if (!list || plist_get_node_type(list) != PLIST_ARRAY)
        co_return devices;
    const std::uint32_t count = plist_array_get_size(list);
    for (std::uint32_t i = 0; i < count; ++i) {
        plist_t entry = plist_array_get_item(list, i);
        if (plist_get_node_type(entry) != PLIST_DICT)
            continue;
        if (std::optional<UsbmuxDevice> device = deviceFrom(entry))
            devices.push_back(std::move(*device));
    }
    co_return devices;
}

asio::awaitable<std::unique_ptr<POSIXSocketByteStream>> UsbmuxClient::connect(
    std::int64_t deviceID, std::uint16_t devicePort)
{
    Plist dictionary = requestDictionary("Connect");
    plist_dict_set_item(dictionary.get(), "DeviceID", plist_new_uint(static_cast<std::uint64_t>(deviceID)));
    plist_dict_set_item(dictionary.get(), "PortNumber", plist_new_uint(wirePort(devicePort)));
    const Bytes packet = encodePacket(plistMessageType, 1, xmlBody(dictionary));

    std::shared_ptr<Exchange> exchange = co_await open();
    Packet reply = co_await request(*exchange, packet);
    exchange->finish();
    std::int64_t code = 0;
    if (reply.type == plistMessageType) {
        Plist result = parseDictionary(reply.payload);
        plist_t number = result ? plist_dict_get_item(result.get(), "Number") : nullptr;
        if (!number)
            throw TransportError::usbmuxFailed("Connect 无法解析结果");
        code = intValue(number);
    } else if (reply.type == resultMessageType) {
        code = reply.payload.size() < 4 ? std::int64_t{0xFFFFFFFF} : std::int64_t{littleEndian(reply.payload.data())};
    } else {
        throw TransportError::usbmuxFailed("Connect 响应类型异常：" + std::to_string(reply.type));
    }
    if (code != 0)
        throw TransportError::usbmuxFailed(connectFailureMessage(code));
    // The daemon's socket is the tunnel from here on; the stream owns it.
    co_return std::make_unique<POSIXSocketByteStream>(
        asio::generic::stream_protocol::socket(std::move(exchange->socket)), POSIXSocketByteStream::defaultMaximumReceiveByteCount);
}

} // namespace p2p
