#include "p2p/protocol/messages/AssetDescriptor.h"
#include "p2p/protocol/messages/JsonCoding.h"
#include "p2p/protocol/messages/Messages.h"
#include "p2p/protocol/P2PLog.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace p2p;

namespace {

FileDescriptor file(FileDescriptor::Role role, std::int64_t bytes, const char* name = "f")
{
    return FileDescriptor{role, name, bytes};
}

constexpr auto primary = FileDescriptor::Role::primary;
constexpr auto paired = FileDescriptor::Role::pairedVideo;
constexpr std::int64_t int64Max = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t int64Min = std::numeric_limits<std::int64_t>::min();

} // namespace

TEST(ProtocolRecords, DerivedValuesOfADescriptor)
{
    struct Case {
        std::vector<FileDescriptor> files;
        std::optional<std::string> primaryName;
        std::int64_t declared;
    };
    const std::vector<Case> cases = {
        {{file(paired, 10, "v"), file(primary, 32, "p")}, "p", 42},
        {{file(paired, 7, "v")}, "v", 7},
        {{}, std::nullopt, 0},
        {{file(primary, 1, "a"), file(primary, 2, "b")}, "a", 3},
        {{file(primary, int64Max, "a"), file(paired, 1, "b"), file(paired, -5, "c")}, "a", int64Max - 5 + 1 - 1},
        {{file(primary, int64Min, "a"), file(paired, -1, "b")}, "a", int64Min},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        AssetDescriptor asset{"id", AssetKind::photo, {}, {}, cases[i].files, {}};
        const auto found = asset.primaryFile();
        EXPECT_EQ(found ? std::optional<std::string>(found->filename) : std::nullopt, cases[i].primaryName) << i;
        EXPECT_EQ(asset.declaredByteCount(), cases[i].declared) << i;
    }
    // Saturates rather than wrapping: max + 1 stays max, and later subtractions count from there.
    AssetDescriptor huge{"id", AssetKind::photo, {}, {}, {file(primary, int64Max), file(paired, int64Max)}, {}};
    EXPECT_EQ(huge.declaredByteCount(), int64Max);

    // Peer dates become time points only through the clamp.
    using namespace std::chrono;
    EXPECT_EQ(clampedTimePoint(1.5), system_clock::time_point(milliseconds(1500)));
    EXPECT_EQ(clampedTimePoint(std::nan("")), system_clock::time_point());
    EXPECT_EQ(clampedTimePoint(1e300), system_clock::time_point(seconds(9223372036)));
    EXPECT_EQ(clampedTimePoint(-1e300), system_clock::time_point(seconds(-9223372036)));

    AssetDescriptor a{"id", AssetKind::video, 1.0, {}, {}, "x"};
    AssetDescriptor b = a;
    b.quickFingerprint = "y";
    EXPECT_NE(a, b);
    EXPECT_EQ(a.id(), "id");
    EXPECT_NE((DeviceInfo{"a", {}, {}, "same"}), (DeviceInfo{"b", {}, {}, "same"}));
}

TEST(ProtocolRecords, EnumerationsAndTypes)
{
    EXPECT_EQ(fromRawValue<AssetKind>("livePhoto"), AssetKind::livePhoto);
    EXPECT_FALSE(fromRawValue<AssetKind>("LivePhoto"));
    EXPECT_FALSE(fromRawValue<AssetKind>(" photo"));
    EXPECT_EQ(fromRawValue<FileDescriptor::Role>("pairedVideo"), paired);
    EXPECT_EQ(fromRawValue<SessionEnd::Reason>("cancelledByUser"), SessionEnd::Reason::cancelledByUser);
    EXPECT_EQ(fromRawValue<FileAck::Result>("checksumMismatch"), FileAck::Result::checksumMismatch);
    EXPECT_EQ(fromRawValue<PairingResult::Outcome>("rejectedCodeRegenerated"),
        PairingResult::Outcome::rejectedCodeRegenerated);

    for (std::size_t i = 0; i < allMessageTypes.size(); ++i) {
        EXPECT_EQ(messageTypeFromRawValue(static_cast<std::uint8_t>(i + 1)), allMessageTypes[i]);
    }
    EXPECT_FALSE(messageTypeFromRawValue(0));
    EXPECT_FALSE(messageTypeFromRawValue(17));
    EXPECT_EQ(messageTypeName(MessageType::fileChunk), "fileChunk");
    EXPECT_EQ(messageTypeName(MessageType::skipListEnd), "skipListEnd");
    EXPECT_EQ(messageTypeOf<FileChunk>(), MessageType::fileChunk);
    EXPECT_EQ(messageType(Message(Pong{})), MessageType::pong);
    EXPECT_NE(Message(FileChunk{{1}}), Message(FileChunk{{2}}));

    EXPECT_EQ(Uuid::parse("6f9619ff-8b86-d011-b42d-00c04fc964ff")->toString(), "6F9619FF-8B86-D011-B42D-00C04FC964FF");
    EXPECT_FALSE(Uuid::parse("6F9619FF-8B86-D011-B42D-00C04FC964F"));
    EXPECT_FALSE(Uuid::parse("6F9619FF-8B86-D011-B42D-00C04FC964FG"));
    EXPECT_FALSE(Uuid::parse("6F9619FF+8B86-D011-B42D-00C04FC964FF"));
    const Uuid random = Uuid::random();
    EXPECT_EQ(Uuid::parse(random.toString()), random);
    EXPECT_NE(random, Uuid::random());

    // A record on its own decodes strictly too.
    const auto device = nlohmann::json::parse(R"({"name":"n","identifier":"i","model":null})").get<DeviceInfo>();
    EXPECT_EQ(device, (DeviceInfo{"n", {}, {}, "i"}));
    EXPECT_THROW(nlohmann::json::parse(R"({"name":"n"})").get<DeviceInfo>(), nlohmann::json::exception);
}

TEST(ProtocolRecords, LoggerReachesTheInstalledSink)
{
    struct Line {
        LogLevel level;
        std::string subsystem, category, message;
    };
    std::vector<Line> lines;
    setLogSink([&](LogLevel level, std::string_view subsystem, std::string_view category, std::string_view message) {
        lines.push_back({level, std::string(subsystem), std::string(category), std::string(message)});
    });
    const Logger logger(P2PLog::Category::receive);
    logger.error("落地失败：100% 满");
    logger.info("x");
    setLogSink({}); // back to stderr
    logger.notice("to stderr");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].level, LogLevel::error);
    EXPECT_TRUE(lines[0].subsystem.ends_with(".p2p"));
    EXPECT_EQ(lines[0].category, "receive");
    EXPECT_EQ(lines[0].message, "落地失败：100% 满");
    EXPECT_EQ(syslogPriority(LogLevel::info), 6);
    EXPECT_EQ(syslogPriority(LogLevel::notice), 5);
    EXPECT_EQ(syslogPriority(LogLevel::error), 3);
}
