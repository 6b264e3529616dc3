#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace p2p {

// Counts of a running backup.
struct TransferProgress {
    std::int64_t completedAssetCount = 0;
    std::int64_t totalAssetCount = 0;
    std::int64_t completedByteCount = 0;
    std::int64_t totalByteCount = 0;
    std::optional<std::string> currentFilename;
    std::optional<std::string> currentAssetID;
    std::int64_t currentFileCompletedByteCount = 0;
    std::int64_t currentFileTotalByteCount = 0;

    // Bytes when a byte total is known, else assets; at most 1.
    double fractionCompleted() const;
    double currentFileFractionCompleted() const;

    friend bool operator==(const TransferProgress&, const TransferProgress&) = default;
};

} // namespace p2p
