#include "app/platform/volumes/LinuxBookmarkService.h"

#include "app/platform/volumes/MountTable.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

namespace app {

namespace {
bool isFolder(const QString& path)
{
    const QFileInfo info(path);
    return info.isDir();
}

// The path inside the whole file system: the mount may show only a subtree of it (bind mounts).
QString pathInFileSystem(const MountEntry& mount, const QString& path)
{
    const QString below = mountinfo::relativeTo(mount.mountPoint, path);
    const QString root = mount.root == "/" ? QString() : mount.root.mid(1);
    if (root.isEmpty())
        return below;
    return below.isEmpty() ? root : root + "/" + below;
}

bool safeRelative(const QString& rel)
{
    if (rel.startsWith(u'/'))
        return false;
    for (const QString& part : rel.split(u'/')) {
        if (part == "..")
            return false;
    }
    return true;
}
} // namespace

std::optional<QByteArray> LinuxBookmarkService::makeBookmark(const QString& folderPath)
{
    const QString path = QFileInfo(folderPath).canonicalFilePath();
    if (path.isEmpty() || !isFolder(path))
        return std::nullopt;
    QJsonObject object{{"v", 1}, {"path", path}};
    if (const auto mount = mountinfo::containing(m_mounts.mounts(), path)) {
        if (!mount->fsUuid.isEmpty()) {
            object.insert("fs", mount->fsUuid);
            object.insert("rel", pathInFileSystem(*mount, path));
        } else {
            // No file-system identity (network shares, FUSE, tmpfs): remember at least where it was
            // mounted, so that the empty folder left behind by an unmount is not taken for it.
            object.insert("mnt", mount->mountPoint);
        }
    }
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

std::optional<ResolvedBookmark> LinuxBookmarkService::resolveBookmark(const QByteArray& bookmark)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(bookmark, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonObject object = document.object();
    const QString path = object.value("path").toString();
    if (object.value("v").toInt() != 1 || !path.startsWith(u'/'))
        return std::nullopt;
    const QString fs = object.value("fs").toString();
    const QString rel = object.value("rel").toString();

    if (fs.isEmpty()) {
        if (!isFolder(path))
            return std::nullopt;
        // The folder a file system was mounted on outlives the mount.
        const QString mountPoint = object.value("mnt").toString();
        const QList<MountEntry> mounts = m_mounts.mounts();
        const bool unmounted = !mountPoint.isEmpty() && !mounts.isEmpty()
                               && std::none_of(mounts.cbegin(), mounts.cend(),
                                               [&](const MountEntry& m) { return m.mountPoint == mountPoint; });
        if (unmounted)
            return std::nullopt;
        return ResolvedBookmark{path, false};
    }
    if (!safeRelative(rel))
        return std::nullopt;

    // A fixed mount point still exists after its drive is gone: check which file system holds it.
    // Look at the folder before reading the mount table: that look may trigger an automount.
    const bool folderExists = isFolder(path);
    const QList<MountEntry> mounts = m_mounts.mounts();
    if (folderExists) {
        const QString canonical = QFileInfo(path).canonicalFilePath();
        const auto mount = mountinfo::containing(mounts, canonical);
        if (mount && mount->fsUuid == fs)
            return ResolvedBookmark{path, false};
    }
    for (const MountEntry& mount : mounts) {
        if (mount.fsUuid != fs)
            continue;
        const QString root = mount.root == "/" ? QString() : mount.root.mid(1);
        QString below;
        if (root.isEmpty())
            below = rel;
        else if (rel == root)
            below = QString();
        else if (rel.startsWith(root + "/"))
            below = rel.mid(root.size() + 1);
        else
            continue;
        const QString candidate = QDir::cleanPath(below.isEmpty() ? mount.mountPoint : mount.mountPoint + "/" + below);
        if (isFolder(candidate))
            return ResolvedBookmark{candidate, candidate != path};
    }
    return std::nullopt;
}

std::optional<bool> LinuxBookmarkService::volumeIsInternal(const QString& path)
{
    const QString canonical = QFileInfo(path).canonicalFilePath();
    if (canonical.isEmpty())
        return std::nullopt;
    const auto mount = mountinfo::containing(m_mounts.mounts(), canonical);
    if (!mount)
        return std::nullopt;
    return !mount->isExternal;
}

} // namespace app
