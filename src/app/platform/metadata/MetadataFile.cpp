#include "app/platform/metadata/MetadataFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace app {

qint64 MemoryByteSource::read(qint64 offset, void* buffer, qint64 count) const
{
    if (offset < 0 || count < 0)
        return -1;
    const qint64 n = std::clamp<qint64>(size_ - offset, 0, count);
    if (n > 0)
        std::memcpy(buffer, data_ + offset, size_t(n));
    return n;
}

MetadataFile::MetadataFile(const QByteArray& nativePath) : path_(nativePath)
{
    // O_NONBLOCK: a FIFO with a photo's name must not stall a scan thread.
    fd_ = ::open(path_.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd_ < 0)
        return;
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
        ::close(fd_);
        fd_ = -1;
        return;
    }
    size_ = S_ISREG(st.st_mode) ? qint64(st.st_size) : 0;
    ::posix_fadvise(fd_, 0, 0, POSIX_FADV_RANDOM);
}

MetadataFile::MetadataFile(const QByteArray& nativePath, qint64 knownSize) : path_(nativePath)
{
    fd_ = ::open(path_.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd_ >= 0)
        size_ = std::max<qint64>(knownSize, 0);
}

MetadataFile::~MetadataFile()
{
    if (fd_ >= 0)
        ::close(fd_);
}

qint64 MetadataFile::read(qint64 offset, void* buffer, qint64 count) const
{
    if (fd_ < 0 || offset < 0 || count < 0)
        return -1;
    auto* out = static_cast<char*>(buffer);
    qint64 total = 0;
    while (total < count) {
        const ssize_t n = ::pread(fd_, out + total, size_t(count - total), off_t(offset + total));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return total > 0 ? total : -1;
        if (n == 0)
            break;
        total += n;
    }
    return total;
}

} // namespace app
