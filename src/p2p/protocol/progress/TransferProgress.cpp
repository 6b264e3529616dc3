#include "p2p/protocol/progress/TransferProgress.h"

#include <algorithm>

namespace p2p {

double TransferProgress::fractionCompleted() const
{
    if (totalByteCount > 0) {
        return std::min(static_cast<double>(completedByteCount) / static_cast<double>(totalByteCount), 1.0);
    }
    if (totalAssetCount > 0) {
        return std::min(static_cast<double>(completedAssetCount) / static_cast<double>(totalAssetCount), 1.0);
    }
    return 0.0;
}

double TransferProgress::currentFileFractionCompleted() const
{
    if (currentFileTotalByteCount > 0) {
        return std::min(static_cast<double>(currentFileCompletedByteCount)
                / static_cast<double>(currentFileTotalByteCount),
            1.0);
    }
    return 0.0;
}

} // namespace p2p
