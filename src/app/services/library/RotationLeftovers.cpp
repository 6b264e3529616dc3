#include "app/services/library/RotationLeftovers.h"

#include <cstring>
#include <ctime>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace app::RotationLeftovers {

namespace {

constexpr char kMarker[] = ".rotating-";
constexpr std::size_t kMarkerSize = sizeof kMarker - 1;
constexpr std::size_t kRandomSize = 6;
constexpr qint64 kStaleNs = qint64(60) * 1'000'000'000;

qint64 nanoseconds(const timespec& t)
{
    return qint64(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

} // namespace

std::string temporaryTemplate(const std::string& target)
{
    const std::size_t slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string(".") : target.substr(0, slash);
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    return folder + "/." + name + kMarker + std::string(kRandomSize, 'X');
}

bool isTemporaryName(const char* name)
{
    const std::size_t size = std::strlen(name);
    if (name[0] != '.' || size < 2 + kMarkerSize + kRandomSize)
        return false;
    const char* random = name + size - kRandomSize;
    if (std::memcmp(random - kMarkerSize, kMarker, kMarkerSize) != 0)
        return false;
    for (const char* c = random; *c; ++c)
        if (!((*c >= '0' && *c <= '9') || (*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z')))
            return false;
    return true;
}

bool removeIfStale(int dirFd, const char* name)
{
    struct stat st {};
    if (!isTemporaryName(name) || ::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
        return false;
    timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    // The minute covers the moment between its creation and its lock. Later the writer gives its
    // copy the photo's old times, and the lock alone says whether it is still writing.
    if (nanoseconds(now) - nanoseconds(st.st_mtim) < kStaleNs)
        return false;
    const int fd = ::openat(dirFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat opened {};
    const bool unused = ::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &opened) == 0
        && opened.st_ino == st.st_ino && opened.st_dev == st.st_dev;
    const bool removed = unused && ::unlinkat(dirFd, name, 0) == 0;
    ::close(fd);
    return removed;
}

void removeStale(const QByteArray& folder)
{
    DIR* dir = ::opendir(folder.isEmpty() ? "/" : folder.constData());
    if (!dir)
        return;
    while (const dirent* e = ::readdir(dir))
        if (isTemporaryName(e->d_name))
            removeIfStale(::dirfd(dir), e->d_name);
    ::closedir(dir);
}

} // namespace app::RotationLeftovers
