#include "p2p/protocol/errors/SessionError.h"

namespace p2p {

SessionError::SessionError(Kind kind)
    : kind_(kind)
{
}

SessionError SessionError::unexpectedMessage(std::string expected, MessageType got)
{
    SessionError error(Kind::unexpectedMessage);
    error.text_ = std::move(expected);
    error.got_ = got;
    error.describe();
    return error;
}

SessionError SessionError::versionRejected(std::uint16_t peer)
{
    SessionError error(Kind::versionRejected);
    error.peer_ = peer;
    error.describe();
    return error;
}

SessionError SessionError::remoteEnded(SessionEnd::Reason reason, std::optional<std::string> message)
{
    SessionError error(Kind::remoteEnded);
    error.reason_ = reason;
    error.message_ = std::move(message);
    error.describe();
    return error;
}

SessionError SessionError::providerFailed(std::string text)
{
    SessionError error(Kind::providerFailed);
    error.text_ = std::move(text);
    error.describe();
    return error;
}

SessionError SessionError::sinkFailed(std::string userMessage)
{
    SessionError error(Kind::sinkFailed);
    error.text_ = std::move(userMessage);
    error.describe();
    return error;
}

SessionError SessionError::connectionClosed()
{
    SessionError error(Kind::connectionClosed);
    error.describe();
    return error;
}

SessionError SessionError::pairingAbandoned()
{
    SessionError error(Kind::pairingAbandoned);
    error.describe();
    return error;
}

SessionError SessionError::pairingFailed()
{
    SessionError error(Kind::pairingFailed);
    error.describe();
    return error;
}

SessionError SessionError::cancelled()
{
    SessionError error(Kind::cancelled);
    error.describe();
    return error;
}

void SessionError::describe()
{
    switch (kind_) {
    case Kind::unexpectedMessage:
        description_ = "期望 " + text_ + "，实际收到 " + std::string(messageTypeName(got_));
        break;
    case Kind::versionRejected:
        description_ = "对端协议版本 " + std::to_string(peer_) + " 不受支持";
        break;
    case Kind::remoteEnded:
        description_ = "对端结束会话（" + std::string(rawValue(reason_)) + "）";
        if (message_) {
            description_ += "：" + *message_;
        }
        break;
    case Kind::providerFailed:
        description_ = "读取资产失败：" + text_;
        break;
    case Kind::sinkFailed:
        description_ = text_;
        break;
    case Kind::connectionClosed:
        description_ = "连接已断开";
        break;
    case Kind::pairingAbandoned:
        description_ = "用户放弃配对";
        break;
    case Kind::pairingFailed:
        description_ = "配对码校验未通过";
        break;
    case Kind::cancelled:
        description_ = "已取消";
        break;
    }
}

} // namespace p2p
