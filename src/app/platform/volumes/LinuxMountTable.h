#pragma once

#include "app/platform/volumes/MountTable.h"

namespace app {

// The kernel's mount table, with each device's file-system UUID and whether it is removable.
class LinuxMountTable final : public MountTable {
public:
    struct Paths {
        QString mountInfo = "/proc/self/mountinfo";
        QString disksByUuid = "/dev/disk/by-uuid";
        QString sysDevBlock = "/sys/dev/block";
    };

    LinuxMountTable() = default;
    explicit LinuxMountTable(Paths paths) : m_paths(std::move(paths)) {}

    QList<MountEntry> mounts() override;

private:
    bool isExternal(const MountEntry& entry) const;

    Paths m_paths;
};

} // namespace app
