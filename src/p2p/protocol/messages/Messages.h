#pragma once

#include "p2p/protocol/messages/AssetDescriptor.h"
#include "p2p/protocol/Bytes.h"
#include "p2p/protocol/messages/DeviceInfo.h"
#include "p2p/protocol/messages/Uuid.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

namespace p2p {

// The type byte of a frame. Consecutive from 1; 0 is never a type.
enum class MessageType : std::uint8_t {
    hello = 1,
    helloAck,
    pairingRequest,
    pairingResult,
    sessionBegin,
    manifestBatch,
    manifestEnd,
    skipListBatch,
    skipListEnd,
    fileBegin,
    fileChunk,
    fileEnd,
    fileAck,
    sessionEnd,
    ping,
    pong,
};

inline constexpr std::size_t messageTypeCount = 16;

inline constexpr std::array<MessageType, messageTypeCount> allMessageTypes = {
    MessageType::hello, MessageType::helloAck, MessageType::pairingRequest, MessageType::pairingResult,
    MessageType::sessionBegin, MessageType::manifestBatch, MessageType::manifestEnd, MessageType::skipListBatch,
    MessageType::skipListEnd, MessageType::fileBegin, MessageType::fileChunk, MessageType::fileEnd,
    MessageType::fileAck, MessageType::sessionEnd, MessageType::ping, MessageType::pong,
};

constexpr std::uint8_t rawValue(MessageType type) { return static_cast<std::uint8_t>(type); }

// The type for bytes 1 to 16; none for 0 and 17 to 255.
constexpr std::optional<MessageType> messageTypeFromRawValue(std::uint8_t raw)
{
    if (raw < 1 || raw > messageTypeCount) {
        return std::nullopt;
    }
    return static_cast<MessageType>(raw);
}

// The camelCase case name ("hello", "fileChunk", …), used in error texts and logs.
std::string_view messageTypeName(MessageType type);

struct Hello {
    std::uint16_t protocolVersion = 0;
    DeviceInfo device;
    friend bool operator==(const Hello&, const Hello&) = default;
};

struct HelloAck {
    std::uint16_t protocolVersion = 0;
    DeviceInfo device;
    bool requiresPairing = false;
    friend bool operator==(const HelloAck&, const HelloAck&) = default;
};

struct PairingRequest {
    std::string code; // as typed on the phone; text, never a number
    friend bool operator==(const PairingRequest&, const PairingRequest&) = default;
};

struct PairingResult {
    enum class Outcome { accepted, rejected, rejectedCodeRegenerated };
    Outcome outcome = Outcome::rejected;
    std::int64_t remainingAttempts = 0;
    friend bool operator==(const PairingResult&, const PairingResult&) = default;
};

struct SessionBegin {
    Uuid sessionID;
    std::int64_t assetCount = 0;
    std::int64_t declaredByteCount = 0;
    friend bool operator==(const SessionBegin&, const SessionBegin&) = default;
};

struct ManifestBatch {
    Uuid sessionID;
    std::int64_t batchIndex = 0;
    std::vector<AssetDescriptor> entries;
    friend bool operator==(const ManifestBatch&, const ManifestBatch&) = default;
};

struct ManifestEnd {
    Uuid sessionID;
    std::int64_t batchCount = 0;
    friend bool operator==(const ManifestEnd&, const ManifestEnd&) = default;
};

struct SkipListBatch {
    Uuid sessionID;
    std::int64_t batchIndex = 0;
    std::vector<std::string> assetIDs;
    friend bool operator==(const SkipListBatch&, const SkipListBatch&) = default;
};

struct SkipListEnd {
    Uuid sessionID;
    std::int64_t batchCount = 0;
    friend bool operator==(const SkipListEnd&, const SkipListEnd&) = default;
};

struct FileBegin {
    std::string assetID;
    std::int64_t fileIndex = 0;
    std::string filename; // the peer's name; never a path as it stands
    std::int64_t declaredByteCount = 0;
    friend bool operator==(const FileBegin&, const FileBegin&) = default;
};

struct FileChunk {
    Bytes bytes;
    friend bool operator==(const FileChunk&, const FileChunk&) = default;
};

struct FileEnd {
    std::string assetID;
    std::int64_t fileIndex = 0;
    std::int64_t byteCount = 0;
    std::uint32_t crc32 = 0;
    friend bool operator==(const FileEnd&, const FileEnd&) = default;
};

struct FileAck {
    enum class Result { stored, checksumMismatch, writeFailed };
    std::string assetID;
    std::int64_t fileIndex = 0;
    Result result = Result::stored;
    std::optional<std::string> message;
    friend bool operator==(const FileAck&, const FileAck&) = default;
};

struct SessionEnd {
    enum class Reason { completed, cancelledByUser, pairingFailed, incompatibleVersion, error };
    Reason reason = Reason::completed;
    std::optional<std::string> message;
    friend bool operator==(const SessionEnd&, const SessionEnd&) = default;
};

struct Ping {
    friend bool operator==(const Ping&, const Ping&) = default;
};

struct Pong {
    friend bool operator==(const Pong&, const Pong&) = default;
};

// Alternatives in the order of MessageType: the type of a message is index() + 1.
using Message = std::variant<Hello, HelloAck, PairingRequest, PairingResult, SessionBegin, ManifestBatch,
    ManifestEnd, SkipListBatch, SkipListEnd, FileBegin, FileChunk, FileEnd, FileAck, SessionEnd, Ping, Pong>;

static_assert(std::variant_size_v<Message> == messageTypeCount);

inline MessageType messageType(const Message& message)
{
    return static_cast<MessageType>(message.index() + 1);
}

namespace detail {
template <typename T, typename Variant>
struct AlternativeIndex;
template <typename T, typename... Ts>
struct AlternativeIndex<T, std::variant<Ts...>> {
    static constexpr std::size_t value = [] {
        constexpr bool matches[] = {std::is_same_v<T, Ts>...};
        std::size_t i = 0;
        while (i < sizeof...(Ts) && !matches[i]) {
            ++i;
        }
        return i;
    }();
    static_assert(value < sizeof...(Ts), "not a message payload");
};
} // namespace detail

// The type of the message that carries a `Payload` (messageTypeOf<FileEnd>() == MessageType::fileEnd).
template <typename Payload>
constexpr MessageType messageTypeOf()
{
    return static_cast<MessageType>(detail::AlternativeIndex<Payload, Message>::value + 1);
}

std::string_view rawValue(PairingResult::Outcome outcome);
std::string_view rawValue(FileAck::Result result);
std::string_view rawValue(SessionEnd::Reason reason);

template <>
std::optional<PairingResult::Outcome> fromRawValue<PairingResult::Outcome>(std::string_view text);
template <>
std::optional<FileAck::Result> fromRawValue<FileAck::Result>(std::string_view text);
template <>
std::optional<SessionEnd::Reason> fromRawValue<SessionEnd::Reason>(std::string_view text);

} // namespace p2p
