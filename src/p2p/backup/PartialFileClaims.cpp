#include "p2p/backup/PartialFileClaims.h"

#include <set>
#include <utility>

namespace p2p {

namespace {

using Identity = std::pair<dev_t, ino_t>;

std::mutex& claimsMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::multiset<Identity>& claimed()
{
    static std::multiset<Identity> identities;
    return identities;
}

} // namespace

std::unique_lock<std::mutex> PartialFileClaims::lock()
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
    return std::shared_ptr<void>(nullptr, [identity](void*) {
        std::lock_guard guard(claimsMutex());
        claimed().erase(claimed().find(identity));
    });
}

bool PartialFileClaims::isClaimed(const struct stat& file)
{
    return claimed().count(Identity{file.st_dev, file.st_ino}) > 0;
}

} // namespace p2p
