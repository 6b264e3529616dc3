#pragma once

#include "p2p/protocol/Saturating.h"
#include "p2p/receive/ReceiveEvent.h"

#include <cstdint>
#include <map>
#include <string>
#include <utility>

namespace p2p {

// The files stored in one session, by asset and file index. A file sent again replaces its copy
// on disk, so the summary counts it once and the progress holds its bytes once.
class StoredFileTally {
public:
    void add(const std::string& assetID, std::int64_t fileIndex, std::int64_t byteCount, ReceiveSummary& summary,
        std::int64_t& completedByteCount)
    {
        const auto [earlier, isNew] = byteCounts_.try_emplace({assetID, fileIndex}, byteCount);
        if (isNew) {
            summary.storedFileCount += 1;
        } else {
            summary.storedByteCount = saturatingSubtract(summary.storedByteCount, earlier->second);
            completedByteCount = saturatingSubtract(completedByteCount, earlier->second);
            earlier->second = byteCount;
        }
        summary.storedByteCount = saturatingAdd(summary.storedByteCount, byteCount);
    }

private:
    std::map<std::pair<std::string, std::int64_t>, std::int64_t> byteCounts_;
};

} // namespace p2p
