#include "app/services/rotation/FileReplacement.h"

#include "app/services/library/RotationLeftovers.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <set>
#include <sys/file.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace app::FileReplacement {

using RotateError = PhotoOrientationRotator::RotateError;
using WriteStep = PhotoOrientationRotator::WriteStep;

namespace {

class Faults {
public:
    explicit Faults(const PhotoOrientationRotator::FaultInjector& faults) : faults_(faults) {}
    // True when the step is to fail; errno then holds the error.
    bool fail(WriteStep step) const
    {
        const int error = faults_ ? faults_(step) : 0;
        if (error != 0)
            errno = error;
        return error != 0;
    }

private:
    const PhotoOrientationRotator::FaultInjector& faults_;
};

RotateError notCarried(const char* what)
{
    return RotateError(RotateError::Kind::writeFailed, QString::fromUtf8(what));
}

// Names of the file's extended attributes the process can see; nothing where the file system has none.
std::vector<std::string> attributeNames(int fd)
{
    for (int attempt = 0; attempt < 4; ++attempt) {
        const ssize_t size = ::flistxattr(fd, nullptr, 0);
        if (size < 0 && (errno == ENOTSUP || errno == EOPNOTSUPP))
            return {};
        if (size < 0)
            throw notCarried("无法读取文件的扩展属性");
        std::string list(std::size_t(size), '\0');
        const ssize_t got = size == 0 ? 0 : ::flistxattr(fd, list.data(), list.size());
        if (got < 0 && errno == ERANGE)
            continue; // grew meanwhile
        if (got < 0)
            throw notCarried("无法读取文件的扩展属性");
        std::vector<std::string> names;
        for (std::size_t at = 0; at < std::size_t(got);) {
            const std::size_t end = list.find('\0', at);
            names.push_back(list.substr(at, end - at));
            at = end == std::string::npos ? list.size() : end + 1;
        }
        return names;
    }
    throw notCarried("无法读取文件的扩展属性");
}

std::optional<std::string> attribute(int fd, const std::string& name)
{
    for (int attempt = 0; attempt < 4; ++attempt) {
        const ssize_t size = ::fgetxattr(fd, name.c_str(), nullptr, 0);
        if (size < 0)
            return std::nullopt;
        std::string value(std::size_t(size), '\0');
        const ssize_t got = size == 0 ? 0 : ::fgetxattr(fd, name.c_str(), value.data(), value.size());
        if (got >= 0) {
            value.resize(std::size_t(got));
            return value;
        }
        if (errno != ERANGE)
            return std::nullopt;
    }
    return std::nullopt;
}

// Tags, comments and ACLs of the old file onto the new one, and nothing else: an attribute the new
// file got from its folder (a default ACL) but the old one lacked goes.
void carryAttributes(int from, int to, const Faults& faults)
{
    const std::vector<std::string> names = attributeNames(from);
    if (faults.fail(WriteStep::carryAttributes) && !names.empty())
        throw notCarried("无法保留文件的扩展属性");
    for (const std::string& name : names) {
        const auto value = attribute(from, name);
        if (!value)
            throw notCarried("无法读取文件的扩展属性");
        if (::fsetxattr(to, name.c_str(), value->data(), value->size(), 0) != 0 && attribute(to, name) != value)
            throw notCarried("无法保留文件的扩展属性");
    }
    const std::set<std::string> kept(names.begin(), names.end());
    for (const std::string& name : attributeNames(to))
        if (!kept.contains(name))
            ::fremovexattr(to, name.c_str());
}

void carryOwner(int fd, const struct stat& st, const Faults& faults)
{
    if (faults.fail(WriteStep::carryOwner))
        throw notCarried("无法保留文件的所有者");
    struct stat now {};
    // Changing nothing may be refused and is still fine.
    if (::fchown(fd, st.st_uid, st.st_gid) != 0 &&
        (::fstat(fd, &now) != 0 || now.st_uid != st.st_uid || now.st_gid != st.st_gid))
        throw notCarried("无法保留文件的所有者");
}

void writeAll(int fd, const char* data, std::size_t size, off_t offset)
{
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pwrite(fd, data + done, size - done, offset + off_t(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw errorFor(errno);
        done += std::size_t(n);
    }
}

// Dates of photos without metadata come from these times.
void keepTimes(int fd, const struct stat& st)
{
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (::futimens(fd, times) != 0)
        throw errorFor(errno);
}

} // namespace

Fd::~Fd()
{
    if (fd_ >= 0)
        ::close(fd_);
}

int Fd::release()
{
    return std::exchange(fd_, -1);
}

RotateError errorFor(int error)
{
    switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
        return RotateError(RotateError::Kind::notWritable);
    case ENOSPC:
    case EDQUOT:
        return RotateError(RotateError::Kind::writeFailed, QStringLiteral("磁盘空间不足"));
    default:
        return RotateError(RotateError::Kind::writeFailed, QString::fromLocal8Bit(std::strerror(error)));
    }
}

bool mayWrite(const std::string& path, const struct stat& st)
{
    return (st.st_mode & 0222) != 0 && ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0;
}

void replace(const std::string& target, int source, const struct stat& st, const std::string& bytes,
             const PhotoOrientationRotator::FaultInjector& injector)
{
    const Faults faults(injector);
    const std::size_t slash = target.rfind('/');
    const std::string folder = target.substr(0, slash);
    std::string temporary = RotationLeftovers::temporaryTemplate(target);
    if (faults.fail(WriteStep::createTemporary))
        throw errorFor(errno);
    Fd fd(::mkostemp(temporary.data(), O_CLOEXEC));
    if (fd.get() < 0)
        throw errorFor(errno);
    // Held until the copy has its final name, so nobody takes it for a crash's leftover. A
    // duplicate holds it past the close below.
    ::flock(fd.get(), LOCK_EX);
    const Fd lock(::dup(fd.get()));
    struct Cleanup {
        const std::string& path;
        bool armed = true;
        ~Cleanup()
        {
            if (armed)
                ::unlink(path.c_str());
        }
    } cleanup{temporary};

    if (faults.fail(WriteStep::write))
        throw errorFor(errno);
    writeAll(fd.get(), bytes.data(), bytes.size(), 0);
    // Owner first: changing it clears set-id bits, which the mode then puts back. Attributes
    // after the mode, so an ACL's mask is the old file's.
    carryOwner(fd.get(), st, faults);
    if (::fchmod(fd.get(), st.st_mode & 07777) != 0)
        throw errorFor(errno);
    carryAttributes(source, fd.get(), faults);
    if (::fsync(fd.get()) != 0)
        throw errorFor(errno);
    keepTimes(fd.get(), st);
    if (::close(fd.release()) != 0)
        throw errorFor(errno);
    if (faults.fail(WriteStep::replace) || ::rename(temporary.c_str(), target.c_str()) != 0)
        throw errorFor(errno);
    cleanup.armed = false;
    Fd dir(::open(folder.empty() ? "/" : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0)
        ::fsync(dir.get());
}

void patchInPlace(const std::string& target, const struct stat& st, const std::string& original,
                  const std::string& patched, const PhotoOrientationRotator::FaultInjector& injector)
{
    const Faults faults(injector);
    if (patched.size() != original.size())
        throw notCarried("文件有多个硬链接，新的方向无法原地写入");
    Fd fd(::open(target.c_str(), O_WRONLY | O_CLOEXEC));
    if (fd.get() < 0)
        throw errorFor(errno);
    if (faults.fail(WriteStep::write))
        throw errorFor(errno);
    for (std::size_t at = 0; at < patched.size();) {
        if (patched[at] == original[at]) {
            ++at;
            continue;
        }
        std::size_t end = at;
        while (end < patched.size() && patched[end] != original[end])
            ++end;
        writeAll(fd.get(), patched.data() + at, end - at, off_t(at));
        at = end;
    }
    if (::fsync(fd.get()) != 0)
        throw errorFor(errno);
    keepTimes(fd.get(), st);
}

} // namespace app::FileReplacement
