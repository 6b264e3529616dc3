#pragma once

#include "p2p/receive/AssetSink.h"

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace p2p::testing {

// An AssetSink that records every call in order, keeps the bytes of every file, and can fail
// or hold chosen calls.
//
// Call log entries: "prepareSession", "existingAssetIDs(n)", "beginFile(a/0)",
// "appendChunk(a/0,4)", "finishFile(a/0)", "abortFile(a/0,<reason>)", "finishSession(<reason>)";
// a held append logs "appendChunk.released(a/0)" when it resumes.
class RecordingSink : public AssetSink {
public:
    explicit RecordingSink(asio::any_io_executor executor);

    asio::awaitable<void> prepareSession(const Uuid& sessionID, const DeviceInfo& peer) override;
    asio::awaitable<std::unordered_set<std::string>> existingAssetIDs(
        const std::vector<AssetDescriptor>& entries) override;
    asio::awaitable<void> beginFile(const IncomingFile& file) override;
    asio::awaitable<void> appendChunk(const Bytes& bytes, const IncomingFile& file) override;
    asio::awaitable<void> finishFile(const IncomingFile& file) override;
    asio::awaitable<void> abortFile(const IncomingFile& file, const std::string& reason) override;
    asio::awaitable<void> finishSession(const Uuid& sessionID, SessionEnd::Reason reason) override;

    static std::string key(const IncomingFile& file);

    // Answered for every batch as it stands, identifiers of other batches included (a sloppy sink).
    std::unordered_set<std::string> existing;
    // Runs before each call with its name ("beginFile", …) and file, a held append's once it is
    // released; throw from it to fail the call.
    std::function<void(std::string_view operation, const IncomingFile* file)> beforeCall;

    // While set, appendChunk logs its start, calls onAppendHeld and waits for releaseAppends().
    bool holdAppends = false;
    std::function<void()> onAppendHeld;
    void releaseAppends();

    std::vector<std::string> calls;
    std::map<std::string, Bytes> openFiles;
    std::map<std::string, Bytes> storedFiles;
    std::vector<IncomingFile> begunFiles;
    std::optional<Uuid> preparedSessionID;
    std::optional<DeviceInfo> preparedPeer;

private:
    asio::steady_timer gate_;
};

} // namespace p2p::testing
