#include "p2p/backup/FileSystemIdentity.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

// Older C library headers lack it; the kernel ignores what it does not know.
#ifndef STATX_MNT_ID_UNIQUE
#define STATX_MNT_ID_UNIQUE 0x00004000U
#endif

namespace p2p {

namespace {

std::optional<FileSystemIdentity> identityOf(int folderFd, const char* path, int flags)
{
    struct statx info {};
    if (::statx(folderFd, path, flags, STATX_BASIC_STATS | STATX_MNT_ID | STATX_MNT_ID_UNIQUE, &info) != 0)
        return std::nullopt;
    FileSystemIdentity identity;
    identity.device = makedev(info.stx_dev_major, info.stx_dev_minor);
    // Asked for both, the kernel gives the unique id when it has one, else the reusable one.
    if (info.stx_mask & (STATX_MNT_ID | STATX_MNT_ID_UNIQUE))
        identity.mount = info.stx_mnt_id;
    return identity;
}

} // namespace

std::optional<FileSystemIdentity> FileSystemIdentity::of(const std::filesystem::path& path)
{
    return identityOf(AT_FDCWD, path.c_str(), 0);
}

std::optional<FileSystemIdentity> FileSystemIdentity::of(int fd)
{
    return identityOf(fd, "", AT_EMPTY_PATH);
}

} // namespace p2p
