#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace p2p {

// Everything that can be wrong with incoming frames and payloads.
class ProtocolError : public std::exception {
public:
    enum class Kind { frameTooLarge, unknownMessageType, malformedPayload, incompatibleVersion, emptyFrame };

    static ProtocolError frameTooLarge(std::int64_t byteCount, std::int64_t limit);
    static ProtocolError unknownMessageType(std::uint8_t type);
    static ProtocolError malformedPayload(std::uint8_t type, std::string underlying);
    static ProtocolError incompatibleVersion(std::uint16_t peer, std::uint16_t minimumSupported, std::uint16_t current);
    static ProtocolError emptyFrame();

    Kind kind() const { return kind_; }
    std::string description() const { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

    // Payloads; zero or empty where the kind carries none.
    std::int64_t byteCount() const { return byteCount_; }
    std::int64_t limit() const { return limit_; }
    std::uint8_t messageType() const { return type_; } // unknownMessageType, malformedPayload
    const std::string& underlying() const { return underlying_; }
    std::uint16_t peer() const { return peer_; }
    std::uint16_t minimumSupported() const { return minimumSupported_; }
    std::uint16_t current() const { return current_; }

    friend bool operator==(const ProtocolError& a, const ProtocolError& b)
    {
        return a.kind_ == b.kind_ && a.byteCount_ == b.byteCount_ && a.limit_ == b.limit_ && a.type_ == b.type_
            && a.underlying_ == b.underlying_ && a.peer_ == b.peer_ && a.minimumSupported_ == b.minimumSupported_
            && a.current_ == b.current_;
    }

private:
    explicit ProtocolError(Kind kind) : kind_(kind) {}

    Kind kind_;
    std::int64_t byteCount_ = 0;
    std::int64_t limit_ = 0;
    std::uint8_t type_ = 0;
    std::string underlying_;
    std::uint16_t peer_ = 0;
    std::uint16_t minimumSupported_ = 0;
    std::uint16_t current_ = 0;
    std::string description_;
};

} // namespace p2p
