#include "app/platform/volumes/FileSystemKinds.h"

#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace app {

namespace {

bool namesFat(QByteArray name)
{
    name = name.toLower();
    return name == "exfat" || name == "vfat" || name == "fat" || name == "msdos" || name == "fusefat"
        || name == "exfat-fuse";
}

QByteArray udevFsType(const struct stat& device)
{
    QFile file(QStringLiteral("/run/udev/data/b%1:%2").arg(::major(device.st_rdev)).arg(::minor(device.st_rdev)));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    for (const QByteArray& line : file.read(64 * 1024).split('\n'))
        if (line.startsWith("E:ID_FS_TYPE="))
            return line.mid(13).trimmed();
    return {};
}

// What the mount's block device says it holds: udev's record, else its first sector (readable by root).
QByteArray deviceFsType(const MountEntry& mount)
{
    const QByteArray source = QFile::encodeName(mount.source);
    struct stat device {};
    if (!source.startsWith("/dev/") || ::stat(source.constData(), &device) != 0 || !S_ISBLK(device.st_mode))
        return {};
    if (QByteArray type = udevFsType(device); !type.isEmpty())
        return type;
    const int fd = ::open(source.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return {};
    QByteArray sector(512, '\0');
    const ssize_t n = ::pread(fd, sector.data(), size_t(sector.size()), 0);
    ::close(fd);
    return n == sector.size() ? FileSystemKinds::bootSectorFsType(sector) : QByteArray();
}

} // namespace

QByteArray FileSystemKinds::bootSectorFsType(const QByteArray& sector)
{
    if (sector.size() < 512 || uchar(sector[510]) != 0x55 || uchar(sector[511]) != 0xaa)
        return {};
    if (sector.mid(3, 8) == "EXFAT   ")
        return "exfat";
    if (sector.mid(54, 3) == "FAT" || sector.mid(82, 5) == "FAT32")
        return "vfat";
    return {};
}

bool FileSystemKinds::isFatLike(unsigned long statfsType, const std::optional<MountEntry>& mount,
                                const QByteArray& deviceFsType)
{
    if (statfsType == msdosMagic || statfsType == exfatMagic)
        return true;
    if (statfsType != fuseMagic || !mount)
        return false;
    const QByteArray type = mount->fsType.toUtf8();
    const qsizetype dot = type.indexOf('.');
    if (dot > 0 && namesFat(type.mid(dot + 1)))
        return true;
    if (namesFat(QFile::encodeName(QFileInfo(mount->source).fileName())))
        return true;
    return namesFat(deviceFsType);
}

FileSystemKinds& FileSystemKinds::shared()
{
    static FileSystemKinds* kinds = new FileSystemKinds;
    return *kinds;
}

void FileSystemKinds::forgetIfMountsChanged()
{
    // The mount table reports each change once to a poll of an open copy of it.
    if (mountInfo_ < 0) {
        mountInfo_ = ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
        byDevice_.clear();
        return;
    }
    pollfd p{mountInfo_, POLLPRI, 0};
    if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLPRI | POLLERR)))
        byDevice_.clear();
}

bool FileSystemKinds::keepsWholeStamp(dev_t dev, const char* path)
{
    std::lock_guard lock(mutex_);
    forgetIfMountsChanged();
    const auto found = byDevice_.constFind(quint64(dev));
    if (found != byDevice_.cend())
        return *found;
    const bool whole = decide(dev, path);
    // Without a mount table to watch, nothing would tell a replug: decide every time.
    if (mountInfo_ >= 0)
        byDevice_.insert(quint64(dev), whole);
    return whole;
}

bool FileSystemKinds::decide(dev_t dev, const char* path)
{
    struct statfs fs {};
    if (::statfs(path, &fs) != 0)
        return true;
    const unsigned long type = static_cast<unsigned long>(fs.f_type);
    if (type != fuseMagic)
        return !isFatLike(type, std::nullopt, {});
    QFile file(QStringLiteral("/proc/self/mountinfo"));
    if (!file.open(QIODevice::ReadOnly))
        return true;
    std::optional<MountEntry> mount;
    for (const MountEntry& entry : mountinfo::parse(file.readAll()))
        if (unsigned(entry.major) == ::major(dev) && unsigned(entry.minor) == ::minor(dev))
            mount = entry;
    if (!mount)
        return true;
    if (isFatLike(type, mount, {}))
        return false;
    return !isFatLike(type, mount, deviceFsType(*mount));
}

} // namespace app
