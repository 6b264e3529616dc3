#pragma once

#include "p2p/protocol/messages/Messages.h"

#include <cstdint>
#include <exception>
#include <optional>
#include <string>

namespace p2p {

// Why a receiving session ended abnormally. description() is for the log;
// UserFacingError::message() gives the user's text.
class SessionError : public std::exception {
public:
    enum class Kind {
        unexpectedMessage,
        versionRejected,
        remoteEnded,
        providerFailed,
        sinkFailed,
        connectionClosed,
        pairingAbandoned,
        pairingFailed,
        cancelled,
    };

    static SessionError unexpectedMessage(std::string expected, MessageType got);
    static SessionError versionRejected(std::uint16_t peer);
    static SessionError remoteEnded(SessionEnd::Reason reason, std::optional<std::string> message);
    static SessionError providerFailed(std::string text);
    static SessionError sinkFailed(std::string userMessage);
    static SessionError connectionClosed();
    static SessionError pairingAbandoned();
    static SessionError pairingFailed();
    static SessionError cancelled();

    Kind kind() const { return kind_; }
    std::string description() const { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

    // Payloads; defaults where the kind carries none.
    const std::string& expected() const { return text_; }       // unexpectedMessage
    MessageType got() const { return got_; }                     // unexpectedMessage
    std::uint16_t peer() const { return peer_; }                 // versionRejected
    SessionEnd::Reason reason() const { return reason_; }        // remoteEnded
    const std::optional<std::string>& message() const { return message_; } // remoteEnded
    const std::string& text() const { return text_; }            // providerFailed, sinkFailed

    friend bool operator==(const SessionError& a, const SessionError& b)
    {
        return a.kind_ == b.kind_ && a.text_ == b.text_ && a.got_ == b.got_ && a.peer_ == b.peer_
            && a.reason_ == b.reason_ && a.message_ == b.message_;
    }

private:
    explicit SessionError(Kind kind);
    void describe();

    Kind kind_;
    std::string text_;
    MessageType got_ = MessageType::hello;
    std::uint16_t peer_ = 0;
    SessionEnd::Reason reason_ = SessionEnd::Reason::completed;
    std::optional<std::string> message_;
    std::string description_;
};

} // namespace p2p
