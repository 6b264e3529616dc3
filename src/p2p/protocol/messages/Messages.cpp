#include "p2p/protocol/messages/Messages.h"

namespace p2p {

std::string_view messageTypeName(MessageType type)
{
    static constexpr std::array<std::string_view, messageTypeCount> names = {
        "hello", "helloAck", "pairingRequest", "pairingResult", "sessionBegin", "manifestBatch",
        "manifestEnd", "skipListBatch", "skipListEnd", "fileBegin", "fileChunk", "fileEnd", "fileAck",
        "sessionEnd", "ping", "pong",
    };
    const std::size_t index = static_cast<std::size_t>(rawValue(type)) - 1;
    return index < names.size() ? names[index] : std::string_view("unknown");
}

std::string_view rawValue(PairingResult::Outcome outcome)
{
    switch (outcome) {
    case PairingResult::Outcome::accepted:
        return "accepted";
    case PairingResult::Outcome::rejected:
        return "rejected";
    case PairingResult::Outcome::rejectedCodeRegenerated:
        return "rejectedCodeRegenerated";
    }
    return "rejected";
}

std::string_view rawValue(FileAck::Result result)
{
    switch (result) {
    case FileAck::Result::stored:
        return "stored";
    case FileAck::Result::checksumMismatch:
        return "checksumMismatch";
    case FileAck::Result::writeFailed:
        return "writeFailed";
    }
    return "writeFailed";
}

std::string_view rawValue(SessionEnd::Reason reason)
{
    switch (reason) {
    case SessionEnd::Reason::completed:
        return "completed";
    case SessionEnd::Reason::cancelledByUser:
        return "cancelledByUser";
    case SessionEnd::Reason::pairingFailed:
        return "pairingFailed";
    case SessionEnd::Reason::incompatibleVersion:
        return "incompatibleVersion";
    case SessionEnd::Reason::error:
        return "error";
    }
    return "error";
}

namespace {

template <typename Enum, std::size_t N>
std::optional<Enum> findRaw(const Enum (&cases)[N], std::string_view text)
{
    for (Enum value : cases) {
        if (rawValue(value) == text) {
            return value;
        }
    }
    return std::nullopt;
}

} // namespace

template <>
std::optional<PairingResult::Outcome> fromRawValue<PairingResult::Outcome>(std::string_view text)
{
    using O = PairingResult::Outcome;
    static constexpr O cases[] = {O::accepted, O::rejected, O::rejectedCodeRegenerated};
    return findRaw(cases, text);
}

template <>
std::optional<FileAck::Result> fromRawValue<FileAck::Result>(std::string_view text)
{
    using R = FileAck::Result;
    static constexpr R cases[] = {R::stored, R::checksumMismatch, R::writeFailed};
    return findRaw(cases, text);
}

template <>
std::optional<SessionEnd::Reason> fromRawValue<SessionEnd::Reason>(std::string_view text)
{
    using R = SessionEnd::Reason;
    static constexpr R cases[] = {R::completed, R::cancelledByUser, R::pairingFailed, R::incompatibleVersion, R::error};
    return findRaw(cases, text);
}

} // namespace p2p
