#pragma once

#include "p2p/protocol/AsioSupport.h"
#include "p2p/protocol/messages/AssetDescriptor.h"
#include "p2p/protocol/Bytes.h"
#include "p2p/protocol/messages/DeviceInfo.h"
#include "p2p/protocol/messages/Messages.h"
#include "p2p/protocol/messages/Uuid.h"

#include <cstdint>
#include <exception>
#include <string>
#include <unordered_set>
#include <vector>

namespace p2p {

// One file as the sink is handed it.
struct IncomingFile {
    Uuid sessionID;
    std::string assetID;
    std::int64_t fileIndex = 0;
    std::string filename; // as the phone wrote it; never a path as it stands
    std::int64_t declaredByteCount = 0;
    AssetDescriptor descriptor;

    friend bool operator==(const IncomingFile&, const IncomingFile&) = default;
};

// What a sink throws. description() and userMessage() give the same text.
class AssetSinkError : public std::exception {
public:
    enum class Kind { destinationUnavailable, writeFailed, insufficientSpace, sessionNotPrepared };

    static AssetSinkError destinationUnavailable(std::string reason);
    static AssetSinkError writeFailed(std::string filename, std::string reason);
    static AssetSinkError insufficientSpace(std::int64_t requiredByteCount);
    static AssetSinkError sessionNotPrepared();

    Kind kind() const { return kind_; }
    const std::string& reason() const { return reason_; }
    const std::string& filename() const { return filename_; }
    std::int64_t requiredByteCount() const { return requiredByteCount_; }

    std::string description() const;
    std::string userMessage() const { return description(); }
    const char* what() const noexcept override { return text_.c_str(); }

    friend bool operator==(const AssetSinkError& a, const AssetSinkError& b)
    {
        return a.kind_ == b.kind_ && a.reason_ == b.reason_ && a.filename_ == b.filename_
            && a.requiredByteCount_ == b.requiredByteCount_;
    }

private:
    explicit AssetSinkError(Kind kind);

    Kind kind_;
    std::string reason_;
    std::string filename_;
    std::int64_t requiredByteCount_ = 0;
    std::string text_; // description() at construction, for what()
};

// Where a receiving session stores what it receives. The session makes one call at a time, with
// one overlap: abortFile for the current file may come while an appendChunk for it is suspended.
// Chunks are handed over from a bounded queue while the session reads on. For one file: beginFile, appendChunk…, then finishFile or
// abortFile (or a failing finishFile, then abortFile). References stay valid until the call
// completes. Implementations that do blocking work run it on an executor of their own and
// resume on the caller's.
class AssetSink {
public:
    virtual ~AssetSink() = default;

    // Once, after the session begin arrived. Throws to fail the session.
    virtual asio::awaitable<void> prepareSession(const Uuid& sessionID, const DeviceInfo& peer) = 0;
    // Once per manifest batch: the identifiers, among `entries`, of assets already stored.
    // Must not throw (the session treats a throw as "none").
    virtual asio::awaitable<std::unordered_set<std::string>> existingAssetIDs(
        const std::vector<AssetDescriptor>& entries) = 0;
    // Throws to fail the session; a failing beginFile cleans up after itself.
    virtual asio::awaitable<void> beginFile(const IncomingFile& file) = 0;
    // Throws to fail the session.
    virtual asio::awaitable<void> appendChunk(const Bytes& bytes, const IncomingFile& file) = 0;
    // Commits a verified file; a throw rejects this file alone.
    virtual asio::awaitable<void> finishFile(const IncomingFile& file) = 0;
    // Discards what was stored for the file. Must not throw. `reason` is a short text for the log.
    virtual asio::awaitable<void> abortFile(const IncomingFile& file, const std::string& reason) = 0;
    // The last call of a session, at most once. Must not throw.
    virtual asio::awaitable<void> finishSession(const Uuid& sessionID, SessionEnd::Reason reason) = 0;
};

} // namespace p2p
