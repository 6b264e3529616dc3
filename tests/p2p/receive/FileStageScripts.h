#pragma once

// What the file-stage tests of the receiving session share: a session, two small photos and the
// messages the phone expects back.

#include "support/p2p/SessionHarness.h"

#include <string>
#include <vector>

namespace p2p::testing::files {

inline const Uuid sessionID = *Uuid::parse("0F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F0");

inline std::vector<std::string> withoutAppends(const std::vector<std::string>& calls)
{
    std::vector<std::string> result;
    for (const std::string& call : calls) {
        if (call.rfind("appendChunk(", 0) != 0)
            result.push_back(call);
    }
    return result;
}

inline FakeFile fileOf(const std::string& assetID, std::int64_t index, const std::string& name, const Bytes& bytes)
{
    FakeFile file;
    file.assetID = assetID;
    file.fileIndex = index;
    file.filename = name;
    file.bytes = bytes;
    return file;
}

inline FileAck ackOf(const std::string& assetID, std::int64_t index, FileAck::Result result,
    std::optional<std::string> message = std::nullopt)
{
    FileAck ack;
    ack.assetID = assetID;
    ack.fileIndex = index;
    ack.result = result;
    ack.message = std::move(message);
    return ack;
}

inline SessionEnd endOf(SessionEnd::Reason reason, std::optional<std::string> message = std::nullopt)
{
    SessionEnd end;
    end.reason = reason;
    end.message = std::move(message);
    return end;
}

inline const Bytes fileA = FakePhone::patternBytes(10, 7);
inline const Bytes fileG = FakePhone::patternBytes(6, 9);

// The greeting and a manifest of the photos A (bytes fileA) and G (bytes fileG).
inline asio::awaitable<void> greetAndOfferAG(FakePhone& phone)
{
    const std::vector<AssetDescriptor> assets = {FakePhone::photo("A", "A.JPG", 10), FakePhone::photo("G", "G.JPG", 6)};
    co_await phone.greet();
    co_await phone.offer(sessionID, assets);
}

} // namespace p2p::testing::files
