// The frame decoder's fuzz seed corpus: one valid frame of each of the 16 types, plus one stream of
// all of them. With TESS_WRITE_FRAME_CORPUS=<dir> the corpus is written there; otherwise the
// committed corpus is checked to still cover every type.
#include "p2p/protocol/framing/Framing.h"
#include "p2p/protocol/framing/MessageCoder.h"
#include "p2p/protocol/ProtocolError.h"
#include "support/p2p/HostileJson.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <utility>
#include <vector>

using namespace p2p;
namespace fs = std::filesystem;

namespace {

std::vector<Message> seedMessages()
{
    const Uuid session = *Uuid::parse("0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0");
    const AssetDescriptor asset{"8F3C-L0-001", AssetKind::livePhoto, 1699999999.5, 1700000000.0,
        {{FileDescriptor::Role::primary, "IMG_0001.HEIC", 1500000}, {FileDescriptor::Role::pairedVideo, "IMG_0001.MOV", 2500000}},
        "qf:1a2b"};
    return {
        Hello{1, {"手机", "Phone15,2", "17.1", "5E6F-PHONE"}},
        HelloAck{1, {"Linux", std::nullopt, std::nullopt, "DESK-1"}, true},
        PairingRequest{"042"},
        PairingResult{PairingResult::Outcome::rejected, 2},
        SessionBegin{session, 1, 4000000},
        ManifestBatch{session, 0, {asset}},
        ManifestEnd{session, 1},
        SkipListBatch{session, 0, {"8F3C-L0-001"}},
        SkipListEnd{session, 1},
        FileBegin{"8F3C-L0-001", 0, "IMG_0001.HEIC", 1500000},
        FileChunk{Bytes{0xFF, 0xD8, 0xFF, 0xE1, 0x00, 0x10, 'E', 'x', 'i', 'f'}},
        FileEnd{"8F3C-L0-001", 0, 1500000, 0xCBF43926u},
        FileAck{"8F3C-L0-001", 0, FileAck::Result::stored, std::nullopt},
        SessionEnd{SessionEnd::Reason::completed, "完成"},
        Ping{},
        Pong{},
    };
}

// Payloads that fill the pre-pairing frame limit: a manifest of thousands of entries, which decodes,
// and two shapes the coder refuses by their density.
std::vector<std::pair<std::string, std::string>> largeSeeds()
{
    const std::size_t size = static_cast<std::size_t>(Framing::preAuthenticationMaximumFrameByteCount) - 1;
    std::string manifest = hostile::batchHead();
    for (int i = 0; manifest.size() + 64 < size; ++i) {
        manifest += (i == 0 ? "" : ",") + std::string(R"({"assetID":")") + std::to_string(i)
            + R"(","kind":"photo","files":[]})";
    }
    manifest += "]}";
    return {
        {"manifest-of-thousands.bin", manifest},
        {"wide-empty-objects.bin", hostile::wideUnknown(size, "{}")},
        {"nested-to-the-limit.bin", hostile::nestedToTheLimit(size, MessageCoder::maximumJsonDepth)},
    };
}

fs::path committedCorpus()
{
    // tests/fixtures/../../fuzz, else the same place seen from this source file (tests/p2p/protocol).
    const char* fixtures = std::getenv("TESS_FIXTURES");
    const fs::path root = fixtures ? fs::path(fixtures) / ".." / ".." : fs::path(__FILE__).parent_path() / ".." / ".." / "..";
    return root / "fuzz" / "corpus" / "frame_decoder";
}

} // namespace

TEST(FuzzCorpus, CoversEveryMessageType)
{
    const std::vector<Message> messages = seedMessages();
    if (const char* target = std::getenv("TESS_WRITE_FRAME_CORPUS")) {
        fs::create_directories(target);
        Bytes all;
        for (const Message& message : messages) {
            const Bytes frame = MessageCoder::encode(message);
            all.insert(all.end(), frame.begin(), frame.end());
            std::ofstream(fs::path(target) / (std::string(messageTypeName(messageType(message))) + ".bin"), std::ios::binary)
                .write(reinterpret_cast<const char*>(frame.data()), static_cast<std::streamsize>(frame.size()));
        }
        std::ofstream(fs::path(target) / "all-types.bin", std::ios::binary)
            .write(reinterpret_cast<const char*>(all.data()), static_cast<std::streamsize>(all.size()));
        // Large inputs of the shapes that cost most to decode, which coverage alone never grows into.
        for (const auto& [name, payload] : largeSeeds()) {
            const Bytes frame = FrameEncoder::encode(MessageType::manifestBatch, Bytes(payload.begin(), payload.end()));
            std::ofstream(fs::path(target) / name, std::ios::binary)
                .write(reinterpret_cast<const char*>(frame.data()), static_cast<std::streamsize>(frame.size()));
        }
    }

    const fs::path corpus = committedCorpus();
    if (corpus.empty() || !fs::is_directory(corpus)) {
        GTEST_SKIP() << "corpus folder not found";
    }
    std::set<MessageType> seen;
    int refused = 0;
    for (const auto& entry : fs::directory_iterator(corpus)) {
        std::ifstream in(entry.path(), std::ios::binary);
        const Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        FrameDecoder decoder(Framing::preAuthenticationMaximumFrameByteCount);
        decoder.append(bytes);
        for (auto& frame : decoder.drain()) {
            try {
                seen.insert(messageType(MessageCoder::decode(std::move(frame))));
            } catch (const ProtocolError&) {
                ++refused; // a large seed of a shape the coder refuses
            }
        }
        EXPECT_EQ(decoder.pendingByteCount(), 0) << entry.path();
    }
    EXPECT_EQ(seen.size(), messageTypeCount);
    EXPECT_EQ(refused, static_cast<int>(largeSeeds().size()) - 1); // all but the manifest of thousands
}
