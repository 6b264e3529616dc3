#include "support/p2p/RecordingSink.h"

namespace p2p::testing {

RecordingSink::RecordingSink(asio::any_io_executor executor)
    : gate_(executor, asio::steady_timer::time_point::max())
{
}

std::string RecordingSink::key(const IncomingFile& file)
{
    return file.assetID + "/" + std::to_string(file.fileIndex);
}

asio::awaitable<void> RecordingSink::prepareSession(const Uuid& sessionID, const DeviceInfo& peer)
{
    calls.push_back("prepareSession");
    if (beforeCall)
        beforeCall("prepareSession", nullptr);
    preparedSessionID = sessionID;
    preparedPeer = peer;
    co_return;
}

asio::awaitable<std::unordered_set<std::string>> RecordingSink::existingAssetIDs(
    const std::vector<AssetDescriptor>& entries)
{
    calls.push_back("existingAssetIDs(" + std::to_string(entries.size()) + ")");
    if (beforeCall)
        beforeCall("existingAssetIDs", nullptr);
    co_return existing;
}

asio::awaitable<void> RecordingSink::beginFile(const IncomingFile& file)
{
    calls.push_back("beginFile(" + key(file) + ")");
    if (beforeCall)
        beforeCall("beginFile", &file);
    begunFiles.push_back(file);
    openFiles[key(file)].clear();
    co_return;
}

asio::awaitable<void> RecordingSink::appendChunk(const Bytes& bytes, const IncomingFile& file)
{
    const std::string fileKey = key(file);
    calls.push_back("appendChunk(" + fileKey + "," + std::to_string(bytes.size()) + ")");
    if (holdAppends) {
        if (onAppendHeld)
            onAppendHeld();
        if (holdAppends) { // the hook may have released it already
            auto [ec] = co_await gate_.async_wait(useNothrowAwaitable);
            (void)ec;
        }
        calls.push_back("appendChunk.released(" + fileKey + ")");
    }
    if (beforeCall)
        beforeCall("appendChunk", &file);
    Bytes& target = openFiles[fileKey];
    target.insert(target.end(), bytes.begin(), bytes.end());
}

asio::awaitable<void> RecordingSink::finishFile(const IncomingFile& file)
{
    calls.push_back("finishFile(" + key(file) + ")");
    if (beforeCall)
        beforeCall("finishFile", &file);
    auto open = openFiles.find(key(file));
    if (open != openFiles.end()) {
        storedFiles[key(file)] = std::move(open->second);
        openFiles.erase(open);
    }
    co_return;
}

asio::awaitable<void> RecordingSink::abortFile(const IncomingFile& file, const std::string& reason)
{
    calls.push_back("abortFile(" + key(file) + "," + reason + ")");
    openFiles.erase(key(file));
    co_return;
}

asio::awaitable<void> RecordingSink::finishSession(const Uuid&, SessionEnd::Reason reason)
{
    calls.push_back("finishSession(" + std::string(rawValue(reason)) + ")");
    co_return;
}

void RecordingSink::releaseAppends()
{
    holdAppends = false;
    gate_.cancel();
}

} // namespace p2p::testing
