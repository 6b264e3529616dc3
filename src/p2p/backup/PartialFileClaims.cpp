#include "p2p/backup/PartialFileClaims.h"

#include <set>
#include <utility>

namespace p2p {

namespace {

using Identity = std::pair<dev_t, ino_t>;

// Never destroyed: a sink may let go of its claim while the program exits.
std::recursive_mutex& claimsMutex()
{
    static auto* mutex = new std::recursive_mutex;
    return *mutex;
}

std::multiset<Identity>& claimed()
{
    static auto* identities = new std::multiset<Identity>;
    return *identities;
}

} // namespace

std::unique_lock<std::recursive_mutex> PartialFileClaims::lock()
{
    return std::unique_lock(claimsMutex());
}

std::shared_ptr<void> PartialFileClaims::claim(int fd)
{
    struct stat info {};
    if (::fstat(fd, &info) != 0)
        return nullptr;
    const Identity identity{info.st_dev, info.st_ino};
    claimed().insert(identity);
    // The release may run under the lock (when making the token fails), hence the recursive mutex.
    return std::shared_ptr<void>(nullptr, [identity](void*) {
        const std::lock_guard guard(claimsMutex());
        if (const auto found = claimed().find(identity); found != claimed().end())
            claimed().erase(found);
    });
}

bool PartialFileClaims::isClaimed(const struct stat& file)
{
    return claimed().count(Identity{file.st_dev, file.st_ino}) > 0;
}

} // namespace p2p
