#include "p2p/protocol/messages/JsonCoding.h"
#include "p2p/protocol/framing/MessageCoder.h"
#include "p2p/protocol/ProtocolError.h"
#include "support/p2p/HostileJson.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <optional>
#include <set>
#include <string>

using namespace p2p;
using nlohmann::json;

namespace {

Bytes bytesOf(std::string_view text)
{
    return Bytes(text.begin(), text.end());
}

FrameDecoder::Frame frameOf(MessageType type, std::string_view payload)
{
    return FrameDecoder::Frame{rawValue(type), bytesOf(payload)};
}

// Encodes, cuts the bytes back into one frame and decodes it.
Message roundTrip(const Message& message)
{
    FrameDecoder decoder(8 * 1024 * 1024);
    decoder.append(MessageCoder::encode(message));
    auto frames = decoder.drain();
    EXPECT_EQ(frames.size(), 1u);
    EXPECT_EQ(decoder.pendingByteCount(), 0);
    return MessageCoder::decode(std::move(frames.at(0)));
}

json payloadJson(const Message& message)
{
    const Bytes frame = MessageCoder::encode(message);
    return json::parse(frame.begin() + 5, frame.end());
}

std::set<std::string> keysOf(const json& object)
{
    std::set<std::string> keys;
    for (const auto& [key, value] : object.items()) {
        keys.insert(key);
    }
    return keys;
}

// A pairing request whose unknown key holds `arrays` nested arrays (plus the object itself).
std::string nested(int arrays)
{
    return R"({"code":"1","x":)" + std::string(static_cast<std::size_t>(arrays), '[')
        + std::string(static_cast<std::size_t>(arrays), ']') + "}";
}

const Uuid sessionID = *Uuid::parse("6F9619FF-8B86-D011-B42D-00C04FC964FF");

AssetDescriptor livePhoto()
{
    return AssetDescriptor{"ASSET-1/L0/001", AssetKind::livePhoto, 1700000000.25, 1700000100.5,
        {{FileDescriptor::Role::primary, "IMG_0001.HEIC", 2'000'000}, {FileDescriptor::Role::pairedVideo, "IMG_0001.MOV", 3'000'000}},
        "fp-1"};
}

} // namespace

TEST(MessageCoder, EveryTypeRoundTrips)
{
    const std::vector<Message> messages = {
        Hello{1, {"张三的 iPhone", "Phone15,2", "17.1", "ID-1"}},
        HelloAck{1, {"Linux", std::nullopt, std::nullopt, "ID-2"}, true},
        PairingRequest{"007"},
        PairingResult{PairingResult::Outcome::rejectedCodeRegenerated, 3},
        SessionBegin{sessionID, 2, 9'000'000'000},
        ManifestBatch{sessionID, 0, {livePhoto(), AssetDescriptor{"A2", AssetKind::video, std::nullopt, std::nullopt, {}, std::nullopt}}},
        ManifestEnd{sessionID, 1},
        SkipListBatch{sessionID, 0, {"A2", "A3"}},
        SkipListEnd{sessionID, 1},
        FileBegin{"ASSET-1/L0/001", 1, "IMG_0001.MOV", 3'000'000},
        FileChunk{Bytes{0, 1, 2, 0xFF}},
        FileEnd{"ASSET-1/L0/001", 1, 3'000'000, 0xFFFFFFFFu},
        FileAck{"ASSET-1/L0/001", 1, FileAck::Result::checksumMismatch, "CRC 不一致"},
        SessionEnd{SessionEnd::Reason::error, "磁盘已满"},
        Ping{},
        Pong{},
    };
    ASSERT_EQ(messages.size(), allMessageTypes.size());
    for (std::size_t i = 0; i < messages.size(); ++i) {
        SCOPED_TRACE(std::string(messageTypeName(allMessageTypes[i])));
        EXPECT_EQ(messageType(messages[i]), allMessageTypes[i]);
        const Bytes frame = MessageCoder::encode(messages[i]);
        EXPECT_EQ(frame.at(4), i + 1);
        EXPECT_EQ(roundTrip(messages[i]), messages[i]);
    }

    // Exact bytes of the payload-less frames.
    EXPECT_EQ(MessageCoder::encode(Ping{}), (Bytes{0, 0, 0, 1, 0x0F}));
    EXPECT_EQ(MessageCoder::encode(Pong{}), (Bytes{0, 0, 0, 1, 0x10}));
    EXPECT_EQ(MessageCoder::encode(FileChunk{}), (Bytes{0, 0, 0, 1, 0x0B}));
    EXPECT_EQ(roundTrip(FileChunk{}), Message(FileChunk{}));
    const Bytes chunk(1000, 0xAB);
    const Bytes chunkFrame = MessageCoder::encode(FileChunk{chunk});
    EXPECT_EQ(chunkFrame.size(), 1005u);
    EXPECT_EQ(chunkFrame[2], 0x03); // 1001 = 0x03E9
    EXPECT_EQ(chunkFrame[3], 0xE9);

    // A ping carrying bytes is still a ping.
    EXPECT_EQ(MessageCoder::decode(frameOf(MessageType::ping, "junk")), Message(Ping{}));
}

TEST(MessageCoder, JsonFormOfPayloads)
{
    // Absent optionals are left out, never written as null.
    EXPECT_EQ(keysOf(payloadJson(FileAck{"a", 0, FileAck::Result::stored, std::nullopt})),
        (std::set<std::string>{"assetID", "fileIndex", "result"}));
    EXPECT_EQ(keysOf(payloadJson(SessionEnd{SessionEnd::Reason::completed, std::nullopt})),
        (std::set<std::string>{"reason"}));
    const json hello = payloadJson(Hello{1, {"n", std::nullopt, std::nullopt, "i"}});
    EXPECT_EQ(keysOf(hello["device"]), (std::set<std::string>{"name", "identifier"}));
    const json batch = payloadJson(ManifestBatch{sessionID, 0, {AssetDescriptor{"x", AssetKind::photo, {}, {}, {}, {}}}});
    EXPECT_EQ(keysOf(batch["entries"][0]), (std::set<std::string>{"assetID", "kind", "files"}));
    EXPECT_EQ(batch["sessionID"], "6F9619FF-8B86-D011-B42D-00C04FC964FF");

    // The top CRC bit stays a positive number.
    const Bytes fileEnd = MessageCoder::encode(FileEnd{"a", 0, 1, 0xFFFFFFFFu});
    EXPECT_NE(std::string(fileEnd.begin(), fileEnd.end()).find("\"crc32\":4294967295"), std::string::npos);

    // Texts that are not valid UTF-8 (file-system errors) are written with the bad byte replaced,
    // not thrown on.
    const Message badText = SessionEnd{SessionEnd::Reason::error, std::string("disk \xFF full")};
    const std::string written = payloadJson(badText)["message"].get<std::string>();
    EXPECT_EQ(written, "disk \xEF\xBF\xBD full");
}

TEST(MessageCoder, LenientReadingThatIsIntended)
{
    struct Case {
        const char* name;
        MessageType type;
        std::string payload;
        Message expected;
    };
    const std::vector<Case> cases = {
        {"null optional is absent", MessageType::sessionEnd, R"({"reason":"completed","message":null})",
            SessionEnd{SessionEnd::Reason::completed, std::nullopt}},
        {"unknown keys ignored", MessageType::pairingRequest, R"({"code":"042","extra":{"a":[1,2]}})",
            PairingRequest{"042"}},
        {"duplicate key keeps the last", MessageType::pairingRequest, R"({"code":"111","code":"222"})",
            PairingRequest{"222"}},
        {"integral float", MessageType::manifestEnd,
            R"({"sessionID":"6f9619ff-8b86-d011-b42d-00c04fc964ff","batchCount":1.0})", ManifestEnd{sessionID, 1}},
        {"NUL inside a text", MessageType::pairingRequest, R"({"code":"0\u00002"})",
            PairingRequest{std::string("0\0" "2", 3)}},
        {"crc32 at its maximum", MessageType::fileEnd,
            R"({"assetID":"a","fileIndex":0,"byteCount":-1,"crc32":4294967295})", FileEnd{"a", 0, -1, 0xFFFFFFFFu}},
        {"int64 extremes", MessageType::sessionBegin,
            R"({"sessionID":"6F9619FF-8B86-D011-B42D-00C04FC964FF","assetCount":-9223372036854775808,"declaredByteCount":9223372036854775807})",
            SessionBegin{sessionID, INT64_MIN, INT64_MAX}},
        {"32 levels of nesting", MessageType::pairingRequest, nested(31), PairingRequest{"1"}},
        {"brackets in a text after an escaped quote", MessageType::pairingRequest,
            R"({"code":"1","x":"\")" + std::string(40, '[') + R"("})", PairingRequest{"1"}},
        {"descriptor dates", MessageType::manifestBatch,
            R"({"sessionID":"6F9619FF-8B86-D011-B42D-00C04FC964FF","batchIndex":0,"entries":[{"assetID":"a","kind":"photo","creationDate":null,"modificationDate":12,"files":[]}]})",
            ManifestBatch{sessionID, 0, {AssetDescriptor{"a", AssetKind::photo, std::nullopt, 12.0, {}, std::nullopt}}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(MessageCoder::decode(frameOf(c.type, c.payload)), c.expected);
    }
}

TEST(MessageCoder, MalformedPayloadsAreRefused)
{
    struct Case {
        const char* name;
        MessageType type;
        std::string payload;
    };
    const std::vector<Case> cases = {
        {"enum in wrong case", MessageType::pairingResult, R"({"outcome":"Accepted","remainingAttempts":1})"},
        {"kind in wrong case", MessageType::manifestBatch,
            R"({"sessionID":"6F9619FF-8B86-D011-B42D-00C04FC964FF","batchIndex":0,"entries":[{"assetID":"a","kind":"Photo","files":[]}]})"},
        {"2^40 in crc32", MessageType::fileEnd, R"({"assetID":"a","fileIndex":0,"byteCount":1,"crc32":1099511627776})"},
        {"negative crc32", MessageType::fileEnd, R"({"assetID":"a","fileIndex":0,"byteCount":1,"crc32":-1})"},
        {"70000 in protocolVersion", MessageType::hello, R"({"protocolVersion":70000,"device":{"name":"n","identifier":"i"}})"},
        {"1.5 in an integer", MessageType::fileBegin, R"({"assetID":"a","fileIndex":1.5,"filename":"f","declaredByteCount":1})"},
        {"2^64 in an int64", MessageType::fileBegin,
            R"({"assetID":"a","fileIndex":0,"filename":"f","declaredByteCount":18446744073709551616})"},
        {"2^63 in an int64", MessageType::fileBegin,
            R"({"assetID":"a","fileIndex":9223372036854775808,"filename":"f","declaredByteCount":1})"},
        {"text in an integer", MessageType::pairingResult, R"({"outcome":"rejected","remainingAttempts":"2"})"},
        {"missing files", MessageType::manifestBatch,
            R"({"sessionID":"6F9619FF-8B86-D011-B42D-00C04FC964FF","batchIndex":0,"entries":[{"assetID":"a","kind":"photo"}]})"},
        {"hello without device", MessageType::hello, R"({"protocolVersion":1})"},
        {"required key null", MessageType::pairingRequest, R"({"code":null})"},
        {"top-level array", MessageType::hello, R"([1,2])"},
        {"empty payload", MessageType::sessionEnd, ""},
        {"not JSON", MessageType::sessionEnd, "reason=completed"},
        {"truncated", MessageType::sessionEnd, R"({"reason":"comp)"},
        {"bad UUID", MessageType::sessionBegin, R"({"sessionID":"not-a-uuid","assetCount":0,"declaredByteCount":0})"},
        {"UUID without hyphens", MessageType::skipListEnd, R"({"sessionID":"6F9619FF8B86D011B42D00C04FC964FF","batchCount":0})"},
        {"date as text", MessageType::manifestBatch,
            R"({"sessionID":"6F9619FF-8B86-D011-B42D-00C04FC964FF","batchIndex":0,"entries":[{"assetID":"a","kind":"photo","creationDate":"2024","files":[]}]})"},
        {"invalid UTF-8", MessageType::pairingRequest, "{\"code\":\"\xFF\xFE\"}"},
        {"number in a text list", MessageType::skipListBatch,
            R"({"sessionID":"6F9619FF-8B86-D011-B42D-00C04FC964FF","batchIndex":0,"assetIDs":["a",2]})"},
        {"33 levels of nesting", MessageType::pairingRequest, nested(32)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            MessageCoder::decode(frameOf(c.type, c.payload));
            ADD_FAILURE() << "decoded";
        } catch (const ProtocolError& error) {
            EXPECT_EQ(error.kind(), ProtocolError::Kind::malformedPayload);
            EXPECT_EQ(error.messageType(), rawValue(c.type));
            EXPECT_FALSE(error.underlying().empty());
            EXPECT_EQ(error.description(),
                "消息类型 " + std::to_string(rawValue(c.type)) + " 的负载解析失败：" + error.underlying());
        }
    }
}

// Frames up to the post-pairing limit whose trees would cost many times their size (or whose parse
// with a callback was quadratic) are refused by shape; ordinary and long-text payloads still decode.
TEST(MessageCoder, HostileShapesAreRefusedByShape)
{
    for (const std::size_t size : {std::size_t{64} << 10, std::size_t{1} << 20, std::size_t{8} << 20}) {
        for (const hostile::Shape& shape : hostile::shapes()) {
            SCOPED_TRACE(std::string(shape.name) + " of " + std::to_string(size) + " bytes");
            const std::string payload = shape.make(size, MessageCoder::maximumJsonDepth);
            ASSERT_LE(payload.size(), size);
            ASSERT_GT(payload.size(), size - 512);
            std::optional<Message> decoded;
            std::string refusal;
            try {
                decoded = MessageCoder::decode(frameOf(MessageType::manifestBatch, payload));
            } catch (const ProtocolError& error) {
                EXPECT_EQ(error.kind(), ProtocolError::Kind::malformedPayload);
                refusal = error.description();
            }
            ASSERT_EQ(decoded.has_value(), shape.decodes) << refusal;
            if (!decoded) {
                continue;
            }
            const auto& batch = std::get<ManifestBatch>(*decoded);
            EXPECT_EQ(batch.sessionID, sessionID);
            std::size_t assets = 0;
            for (std::size_t at = payload.find("\"assetID\""); at != std::string::npos; at = payload.find("\"assetID\"", at + 1)) {
                ++assets;
            }
            EXPECT_EQ(batch.entries.size(), assets);
        }
    }
}

TEST(MessageCoder, UnknownTypesAreConsumedAndRefused)
{
    for (std::uint8_t type : {std::uint8_t{0}, std::uint8_t{17}, std::uint8_t{255}}) {
        FrameDecoder decoder(1024);
        decoder.append(FrameEncoder::encode(type, bytesOf("{}")));
        auto frame = decoder.nextFrame();
        ASSERT_TRUE(frame);
        EXPECT_EQ(decoder.pendingByteCount(), 0);
        try {
            MessageCoder::decode(*frame);
            ADD_FAILURE() << "decoded type " << int(type);
        } catch (const ProtocolError& error) {
            EXPECT_EQ(error, ProtocolError::unknownMessageType(type));
        }
    }
}
