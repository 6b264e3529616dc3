#pragma once

#include "app/platform/volumes/MountTable.h"

#include <QByteArray>
#include <QHash>

#include <mutex>
#include <optional>

#include <sys/types.h>

namespace app {

// Whether a file system keeps what tells a file apart from one mount to the next. FAT and exFAT,
// through the kernel or FUSE, hand out inode numbers per mount (FUSE in lookup order) and report
// the modification time as the change time: there a file is known by its path, size and
// modification time alone.
class FileSystemKinds {
public:
    static constexpr unsigned long msdosMagic = 0x4d44;
    static constexpr unsigned long exfatMagic = 0x2011BAB0;
    static constexpr unsigned long fuseMagic = 0x65735546;

    // `statfsType` is statfs's f_type. A FUSE mount is FAT-like when its type's subtype
    // ("fuseblk.exfat") or its source names FAT or exFAT, or, failing both, when its device does
    // (`deviceFsType`: what udev or the device's first sector says, "" when unknown).
    static bool isFatLike(unsigned long statfsType, const std::optional<MountEntry>& mount,
                          const QByteArray& deviceFsType);
    // "exfat", "vfat" or "" for the first 512 bytes of a device.
    static QByteArray bootSectorFsType(const QByteArray& sector);

    static FileSystemKinds& shared();

    // Whether files on device `dev`, which holds `path`, keep their inode number and change time
    // across mounts. Decided once per mount: the answer is kept until the mount table changes.
    bool keepsWholeStamp(dev_t dev, const char* path);

private:
    bool decide(dev_t dev, const char* path);
    void forgetIfMountsChanged();

    std::mutex mutex_;
    QHash<quint64, bool> byDevice_;
    int mountInfo_ = -1;
};

} // namespace app
