#include "p2p/protocol/framing/MessageCoder.h"

#include "p2p/protocol/messages/JsonCoding.h"
#include "p2p/protocol/ProtocolError.h"

#include <algorithm>
#include <string>
#include <type_traits>

namespace p2p {

using nlohmann::json;

namespace {

Bytes jsonFrame(MessageType type, const json& document)
{
    const std::string text = dumpJson(document);
    const Bytes payload(text.begin(), text.end());
    return FrameEncoder::encode(type, payload);
}

// One linear pass over the payload before nlohmann sees it: a peer can send deeply nested JSON, or
// megabytes of "[],[],…" whose tree costs many times the frame in memory, before it has proven
// anything. Only brackets, commas and colons outside strings are counted; whether the text is valid
// JSON is left to the parser. (nlohmann's parse callback would do the depth check, but makes every
// closing bracket rescan its siblings: quadratic in a wide container.)
void checkShape(const Bytes& payload)
{
    const std::size_t allowance = 256;
    const std::size_t maximumContainers = allowance + payload.size() / MessageCoder::minimumBytesPerContainer;
    const std::size_t maximumValues = allowance + payload.size() / MessageCoder::minimumBytesPerValue;
    int depth = 0;
    std::size_t containers = 0;
    std::size_t values = 1;
    bool inString = false;
    bool escaped = false;
    for (const std::uint8_t byte : payload) {
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (byte == '\\') {
                escaped = true;
            } else if (byte == '"') {
                inString = false;
            }
            continue;
        }
        switch (byte) {
        case '"':
            inString = true;
            break;
        case '{':
        case '[':
            if (++depth > MessageCoder::maximumJsonDepth) {
                throw JsonDecodeError("JSON 嵌套超过 " + std::to_string(MessageCoder::maximumJsonDepth) + " 层");
            }
            ++containers;
            ++values;
            break;
        case '}':
        case ']':
            depth = std::max(depth - 1, 0); // unbalanced text is the parser's to report
            break;
        case ',':
        case ':':
            ++values;
            break;
        default:
            break;
        }
        if (containers > maximumContainers || values > maximumValues) {
            throw JsonDecodeError("JSON 值过于密集（" + std::to_string(payload.size()) + " 字节）");
        }
    }
}

json parseLimited(const Bytes& payload)
{
    checkShape(payload);
    return json::parse(payload.begin(), payload.end());
}

template <typename Record>
Message decodeRecord(const Bytes& payload)
{
    return Message(std::in_place_type<Record>, parseLimited(payload).get<Record>());
}

Message decodeJson(MessageType type, const Bytes& payload)
{
    switch (type) {
    case MessageType::hello:
        return decodeRecord<Hello>(payload);
    case MessageType::helloAck:
        return decodeRecord<HelloAck>(payload);
    case MessageType::pairingRequest:
        return decodeRecord<PairingRequest>(payload);
    case MessageType::pairingResult:
        return decodeRecord<PairingResult>(payload);
    case MessageType::sessionBegin:
        return decodeRecord<SessionBegin>(payload);
    case MessageType::manifestBatch:
        return decodeRecord<ManifestBatch>(payload);
    case MessageType::manifestEnd:
        return decodeRecord<ManifestEnd>(payload);
    case MessageType::skipListBatch:
        return decodeRecord<SkipListBatch>(payload);
    case MessageType::skipListEnd:
        return decodeRecord<SkipListEnd>(payload);
    case MessageType::fileBegin:
        return decodeRecord<FileBegin>(payload);
    case MessageType::fileEnd:
        return decodeRecord<FileEnd>(payload);
    case MessageType::fileAck:
        return decodeRecord<FileAck>(payload);
    case MessageType::sessionEnd:
        return decodeRecord<SessionEnd>(payload);
    case MessageType::fileChunk:
    case MessageType::ping:
    case MessageType::pong:
        break;
    }
    throw ProtocolError::unknownMessageType(rawValue(type));
}

template <typename Frame>
Message decodeFrame(Frame&& frame)
{
    const auto type = messageTypeFromRawValue(frame.type);
    if (!type) {
        throw ProtocolError::unknownMessageType(frame.type);
    }
    switch (*type) {
    case MessageType::fileChunk:
        if constexpr (std::is_rvalue_reference_v<Frame&&>) {
            return FileChunk{std::move(frame.payload)};
        } else {
            return FileChunk{frame.payload};
        }
    case MessageType::ping:
        return Ping{}; // any payload is ignored
    case MessageType::pong:
        return Pong{};
    default:
        break;
    }
    try {
        return decodeJson(*type, frame.payload);
    } catch (const json::exception& error) {
        // Parse, type and range errors alike; bad_alloc is left to the caller.
        throw ProtocolError::malformedPayload(frame.type, error.what());
    }
}

} // namespace

Bytes MessageCoder::encode(const Message& message)
{
    return std::visit(
        [](const auto& payload) -> Bytes {
            using T = std::decay_t<decltype(payload)>;
            if constexpr (std::is_same_v<T, FileChunk>) {
                return FrameEncoder::encode(MessageType::fileChunk, payload.bytes);
            } else if constexpr (std::is_same_v<T, Ping>) {
                return FrameEncoder::encode(MessageType::ping, Bytes{});
            } else if constexpr (std::is_same_v<T, Pong>) {
                return FrameEncoder::encode(MessageType::pong, Bytes{});
            } else {
                const json document = payload;
                return jsonFrame(messageTypeOf<T>(), document);
            }
        },
        message);
}

Message MessageCoder::decode(const FrameDecoder::Frame& frame)
{
    return decodeFrame(frame);
}

Message MessageCoder::decode(FrameDecoder::Frame&& frame)
{
    return decodeFrame(std::move(frame));
}

} // namespace p2p
