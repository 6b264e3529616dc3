#include "p2p/protocol/ProtocolError.h"

namespace p2p {

ProtocolError ProtocolError::frameTooLarge(std::int64_t byteCount, std::int64_t limit)
{
    ProtocolError error(Kind::frameTooLarge);
    error.byteCount_ = byteCount;
    error.limit_ = limit;
    error.description_ = "帧长度 " + std::to_string(byteCount) + " 字节超过上限 " + std::to_string(limit) + " 字节";
    return error;
}

ProtocolError ProtocolError::unknownMessageType(std::uint8_t type)
{
    ProtocolError error(Kind::unknownMessageType);
    error.type_ = type;
    error.description_ = "无法识别的消息类型 " + std::to_string(type);
    return error;
}

ProtocolError ProtocolError::malformedPayload(std::uint8_t type, std::string underlying)
{
    ProtocolError error(Kind::malformedPayload);
    error.type_ = type;
    error.underlying_ = std::move(underlying);
    error.description_ = "消息类型 " + std::to_string(type) + " 的负载解析失败：" + error.underlying_;
    return error;
}

ProtocolError ProtocolError::incompatibleVersion(std::uint16_t peer, std::uint16_t minimumSupported, std::uint16_t current)
{
    ProtocolError error(Kind::incompatibleVersion);
    error.peer_ = peer;
    error.minimumSupported_ = minimumSupported;
    error.current_ = current;
    error.description_ = "对端协议版本 " + std::to_string(peer) + " 不兼容（本机支持 " + std::to_string(minimumSupported)
        + "…" + std::to_string(current) + "）";
    return error;
}

ProtocolError ProtocolError::emptyFrame()
{
    ProtocolError error(Kind::emptyFrame);
    error.description_ = "收到空帧（缺少消息类型字节）";
    return error;
}

} // namespace p2p
