#pragma once

#include <sys/stat.h>

#include <memory>
#include <mutex>

namespace p2p {

// The partial files that the sinks of this program are writing, by device and inode, so that a
// receive opening the same backup folder never takes another receive's partial for a leftover of
// an interrupted one. Files are told apart by identity, not by path: one folder may be reached
// by more than one path.
class PartialFileClaims {
public:
    // Held while a partial is created and claimed, and while leftovers are judged and removed.
    static std::unique_lock<std::recursive_mutex> lock();

    // Claims the open file until the returned token goes. Call with the lock held.
    static std::shared_ptr<void> claim(int fd);
    // Whether a sink claims the file. Call with the lock held.
    static bool isClaimed(const struct stat& file);
};

} // namespace p2p
