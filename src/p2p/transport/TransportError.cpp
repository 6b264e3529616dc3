#include "p2p/transport/TransportError.h"

#include "p2p/protocol/AsioSupport.h"

#include <asio/error.hpp>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <limits>

namespace p2p {

namespace {

// Whole seconds, truncated toward zero; time-outs are finite, the clamp only guards the cast.
std::string wholeSeconds(double seconds)
{
    if (std::isnan(seconds))
        return "0";
    const double limit = static_cast<double>(std::numeric_limits<std::int64_t>::max());
    return std::to_string(static_cast<std::int64_t>(std::clamp(std::trunc(seconds), -limit, limit)));
}

bool containsIgnoringCase(const std::string& text, std::string_view needle)
{
    auto lower = [](unsigned char c) { return static_cast<char>(std::tolower(c)); };
    auto it = std::search(text.begin(), text.end(), needle.begin(), needle.end(),
        [&](char a, char b) { return lower(static_cast<unsigned char>(a)) == lower(static_cast<unsigned char>(b)); });
    return it != text.end();
}

} // namespace

TransportError::TransportError(Kind kind, double seconds, std::string text)
    : kind_(kind)
    , seconds_(seconds)
    , text_(std::move(text))
{
    switch (kind_) {
    case Kind::connectTimedOut:
        description_ = "连接超时（" + wholeSeconds(seconds_) + " 秒内未就绪）";
        break;
    case Kind::ioTimedOut:
        description_ = "发送超时（" + wholeSeconds(seconds_) + " 秒内未写出），链路可能已中断";
        break;
    case Kind::connectionFailed:
        description_ = "连接失败：" + text_;
        break;
    case Kind::advertiserFailed:
        description_ = "广播失败：" + text_;
        break;
    case Kind::browserFailed:
        description_ = "搜索失败：" + text_;
        break;
    case Kind::usbmuxFailed:
        description_ = "USB 连接失败：" + text_;
        break;
    case Kind::wiredListenFailed:
        description_ = "一线监听失败：" + text_;
        break;
    case Kind::notReady:
        description_ = "连接未就绪";
        break;
    case Kind::localNetworkPermissionDenied:
        description_ = "未获得本地网络权限";
        break;
    case Kind::busy:
        description_ = "已有设备正在传输";
        break;
    }
}

TransportError TransportError::connectTimedOut(double seconds) { return {Kind::connectTimedOut, seconds, {}}; }
TransportError TransportError::ioTimedOut(double seconds) { return {Kind::ioTimedOut, seconds, {}}; }
TransportError TransportError::connectionFailed(std::string text) { return {Kind::connectionFailed, 0, std::move(text)}; }
TransportError TransportError::advertiserFailed(std::string text) { return {Kind::advertiserFailed, 0, std::move(text)}; }
TransportError TransportError::browserFailed(std::string text) { return {Kind::browserFailed, 0, std::move(text)}; }
TransportError TransportError::usbmuxFailed(std::string text) { return {Kind::usbmuxFailed, 0, std::move(text)}; }
TransportError TransportError::wiredListenFailed(std::string text) { return {Kind::wiredListenFailed, 0, std::move(text)}; }
TransportError TransportError::notReady() { return {Kind::notReady, 0, {}}; }
TransportError TransportError::localNetworkPermissionDenied() { return {Kind::localNetworkPermissionDenied, 0, {}}; }
TransportError TransportError::busy() { return {Kind::busy, 0, {}}; }

bool TransportError::isLocalNetworkPermissionDenied() const
{
    if (kind_ == Kind::localNetworkPermissionDenied)
        return true;
    if (kind_ == Kind::browserFailed)
        return text_.find("本地网络") != std::string::npos || containsIgnoringCase(text_, "PolicyDenied");
    return false;
}

int errnoOf(const std::error_code& code)
{
    if (code.category() == asio::system_category() || code.category() == std::system_category()
        || code.category() == std::generic_category())
        return code.value();
    return -1;
}

} // namespace p2p
