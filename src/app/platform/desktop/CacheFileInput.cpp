#include "app/platform/desktop/CacheFileInput.h"

#include <QFile>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace app {

CacheFileInput::CacheFileInput(const QString& path)
{
    fd_ = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd_ < 0)
        return;
    struct stat st {};
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd_);
        fd_ = -1;
        return;
    }
    size_ = qint64(st.st_size);
}

CacheFileInput::~CacheFileInput()
{
    if (fd_ >= 0)
        ::close(fd_);
}

std::optional<QByteArray> CacheFileInput::read(qint64 offset, qint64 count) const
{
    if (fd_ < 0 || offset < 0 || count < 0 || count > size_ - offset)
        return std::nullopt;
    QByteArray data(count, Qt::Uninitialized);
    qint64 done = 0;
    while (done < count) {
        const ssize_t n = ::pread(fd_, data.data() + done, size_t(count - done), off_t(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return std::nullopt; // shrunk meanwhile, or unreadable
        done += n;
    }
    return data;
}

std::optional<QByteArray> CacheFileInput::readAll(qint64 maxBytes) const
{
    if (fd_ < 0 || size_ > maxBytes)
        return std::nullopt;
    // Only the size seen at opening is read: a file that grows meanwhile adds nothing.
    return read(0, size_);
}

std::optional<QByteArray> CacheFileInput::readAll(const QString& path, qint64 maxBytes)
{
    return CacheFileInput(path).readAll(maxBytes);
}

} // namespace app
