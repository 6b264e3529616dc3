#include "app/platform/volumes/LinuxMountTable.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace app {

namespace {
bool underFolder(const QString& path, const QString& folder)
{
    return path == folder || path.startsWith(folder + "/");
}

QByteArray readSmallFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.read(64).trimmed();
}
} // namespace

QList<MountEntry> LinuxMountTable::mounts()
{
    QFile file(m_paths.mountInfo);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QList<MountEntry> entries = mountinfo::parse(file.readAll());

    // The UUID comes from the by-uuid link whose target is the mount's source device. st_dev is not
    // enough: btrfs and some FUSE mounts report anonymous device numbers.
    QHash<QString, QString> uuidByDevice;
    const QFileInfoList links =
        QDir(m_paths.disksByUuid).entryInfoList(QDir::Files | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo& link : links) {
        const QString target = link.canonicalFilePath();
        if (!target.isEmpty())
            uuidByDevice.insert(target, link.fileName());
    }
    for (MountEntry& entry : entries) {
        if (entry.source.startsWith(u'/')) {
            const QString device = QFileInfo(entry.source).canonicalFilePath();
            entry.fsUuid = uuidByDevice.value(device.isEmpty() ? entry.source : device);
        }
        entry.isExternal = isExternal(entry);
    }
    return entries;
}

bool LinuxMountTable::isExternal(const MountEntry& entry) const
{
    for (const char* folder : {"/media", "/run/media", "/mnt"}) {
        if (underFolder(entry.mountPoint, QLatin1String(folder)))
            return true;
    }
    int major = entry.major;
    int minor = entry.minor;
    struct stat st {};
    if (entry.source.startsWith("/dev/") && ::stat(QFile::encodeName(entry.source).constData(), &st) == 0
        && S_ISBLK(st.st_mode)) {
        major = static_cast<int>(::major(st.st_rdev));
        minor = static_cast<int>(::minor(st.st_rdev));
    }
    const QFileInfo device(QString("%1/%2:%3").arg(m_paths.sysDevBlock).arg(major).arg(minor));
    const QString real = device.canonicalFilePath();
    if (real.isEmpty())
        return false;
    if (real.contains("/usb"))
        return true;
    // A partition has no "removable" of its own; its disk is the parent folder.
    const QString disk = QFileInfo::exists(real + "/partition") ? QFileInfo(real).path() : real;
    return readSmallFile(disk + "/removable") == "1";
}

} // namespace app
