#pragma once

#include <QHash>
#include <QString>

#include <optional>

namespace app {

// What tells a file apart from its earlier self without reading it. A rotation rewrites the file in
// place and keeps its modification time, but not its change time.
struct FileStamp {
    qint64 size = 0;
    qint64 modifiedNs = 0;
    qint64 changedNs = 0;
    quint64 inode = 0;
    friend bool operator==(const FileStamp&, const FileStamp&) = default;
};

// What a scan learned of one file by reading it, valid while its stamp is unchanged.
struct KeptFile {
    FileStamp stamp;
    qint64 captureMs = 0; // milliseconds since the epoch
    std::optional<double> duration;
    std::optional<double> latitude;
    std::optional<double> longitude;
    friend bool operator==(const KeptFile&, const KeptFile&) = default;
};

// Keyed by the file's absolute path.
using KeptFiles = QHash<QString, KeptFile>;

} // namespace app
