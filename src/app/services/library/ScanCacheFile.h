#pragma once

#include "app/models/MediaItem.h"
#include "app/services/library/KeptScan.h"

#include <QByteArray>
#include <QString>

#include <optional>
#include <vector>

#include <sys/types.h>

namespace app {

// A library's last scan as kept on disk: the published items in their order, each with the stamp
// of the file it was read from. The file ends with a checksum; one that is torn, damaged, of
// another version, of another folder or of another time zone is ignored, never trusted.
namespace ScanCacheFile {

struct Contents {
    MediaItems items;
    std::vector<KeptFile> facts; // the stamps and facts of `items`, one each, in their order
    // `facts` by path: a table of every file, needed by a rescan, not by the first screen.
    KeptFiles files() const;
};

QByteArray encode(const QString& root, const QByteArray& timeZoneId, const MediaItems& items, const KeptFiles& files);
// Nothing when the bytes are not a whole, current cache of `root` made in `timeZoneId`.
std::optional<Contents> decode(const QByteArray& bytes, const QString& root, const QByteArray& timeZoneId);

// A kept scan is read back only up to a size its item count allows (a few KiB per item), so a
// file swollen or replaced by something else is refused before it is read.
inline constexpr qint64 maximumBytesPerItem = 4096;
inline constexpr quint64 maximumItemCount = 1'000'000;
// The bytes before the first item of a cache of `root` made in `timeZoneId`.
qsizetype headerSize(const QString& root, const QByteArray& timeZoneId);
// The largest file whose first headerSize() bytes are `header`; nothing when they are not the
// header of a current cache of `root` made in `timeZoneId`.
std::optional<qint64> sizeBound(const QByteArray& header, const QString& root, const QByteArray& timeZoneId);

// The file system calls of a durable replace; tests record their order and inject failures.
class Io {
public:
    virtual ~Io() = default;
    virtual int open(const char* path, int flags, mode_t mode);
    virtual ssize_t write(int fd, const void* data, size_t size);
    virtual int fsync(int fd);
    virtual int close(int fd);
    virtual int rename(const char* from, const char* to);
    virtual int unlink(const char* path);
    static Io& system();
};

// What follows a cache file's name in the names of its temporary files.
inline constexpr char temporaryInfix[] = ".tmp.";

// Writes `bytes` to a temporary file of its own beside `path`, flushes it, renames it over `path` and flushes
// the folder, so a crash leaves the old cache or the new one, never a mix. False on any failure,
// with the temporary file removed and the old cache untouched.
bool writeDurably(const QString& path, const QByteArray& bytes, Io& io = Io::system());

} // namespace ScanCacheFile
} // namespace app
