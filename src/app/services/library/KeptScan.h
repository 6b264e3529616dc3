#pragma once

#include "app/services/library/FileStamp.h"

#include <QHash>
#include <QString>

#include <optional>

namespace app {

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
