#pragma once

#include <QString>

#include <optional>

struct stat;

namespace app {

// What tells a file apart from its earlier self without reading it. A rotation rewrites the file in
// place and keeps its modification time (often its size too), but not its change time or inode.
// On FAT and exFAT inode numbers and change times do not survive a remount: there the stamp holds
// the size and modification time only (inode and change time 0), so a replugged drive is known.
struct FileStamp {
    qint64 size = 0;
    qint64 modifiedNs = 0;
    qint64 changedNs = 0;
    quint64 inode = 0;
    friend bool operator==(const FileStamp&, const FileStamp&) = default;

    // `whole`: the file system keeps inode numbers and change times across mounts.
    static FileStamp fromStat(const struct stat& st, bool whole);
    // Follows symbolic links; nothing when the file cannot be stat'ed. The file system's kind is
    // decided once per mount.
    static std::optional<FileStamp> of(const QString& path);
};

} // namespace app
