#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

namespace app {

// One line of /proc/self/mountinfo, with what we learn about its device.
struct MountEntry {
    int major = 0;
    int minor = 0;
    QString root;        // path inside the file system that is mounted here
    QString mountPoint;  // unescaped
    QString fsType;
    QString source;      // e.g. /dev/sdb1
    QString fsUuid;      // empty when the device has no /dev/disk/by-uuid link
    bool isExternal = false;
};

class MountTable {
public:
    virtual ~MountTable() = default;
    virtual QList<MountEntry> mounts() = 0;
};

namespace mountinfo {
// Parses the text of /proc/self/mountinfo; malformed lines are skipped.
QList<MountEntry> parse(const QByteArray& text);
// Mount points escape space, tab, newline and backslash as \ooo.
QString unescape(const QByteArray& field);
// The mount whose mount point is the longest prefix (by path component) of an absolute clean path.
std::optional<MountEntry> containing(const QList<MountEntry>& mounts, const QString& path);
// `path` below `mountPoint`, without a leading slash; "" for the mount point itself.
QString relativeTo(const QString& mountPoint, const QString& path);
} // namespace mountinfo

} // namespace app
