#pragma once

#include <QString>

#include <optional>

struct stat;

namespace app {

// What tells a file apart from its earlier self without reading it. A rotation rewrites the file in
// place and keeps its modification time (often its size too), but not its change time or inode.
struct FileStamp {
    qint64 size = 0;
    qint64 modifiedNs = 0;
    qint64 changedNs = 0;
    quint64 inode = 0;
    friend bool operator==(const FileStamp&, const FileStamp&) = default;

    static FileStamp fromStat(const struct stat& st);
    // Follows symbolic links; nothing when the file cannot be stat'ed.
    static std::optional<FileStamp> of(const QString& path);
};

} // namespace app
