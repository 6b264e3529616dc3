#pragma once

#include "app/services/library/FileStamp.h"

#include <QHash>
#include <QImage>
#include <QMutex>
#include <QString>

#include <list>
#include <optional>

namespace app {

// Thumbnails kept on disk between runs: one file per state of a media file and pixel size, bounded
// in bytes, the least recently used dropped first. Thread-safe; every call may touch the disk, so it
// is called from workers only.
class ThumbnailDiskCache {
public:
    // The whole stamp is in the key: a rotation keeps the file's times but not its change time.
    static QString key(const QString& path, const FileStamp& state, int pixelSize);

    ThumbnailDiskCache(QString directory, qint64 byteLimit);

    // A stored thumbnail; an entry that cannot be read back whole is deleted and reported as missing.
    std::optional<QImage> find(const QString& key);
    // Written under a temporary name and renamed into place, so a reader never sees half a file.
    void insert(const QString& key, const QImage& image);

    qint64 bytes();
    qint64 byteLimit() const { return byteLimit_; }
    bool contains(const QString& key);
    QString entryPath(const QString& key) const;

private:
    struct Entry {
        QString key;
        qint64 bytes = 0;
    };
    // Lists the entries already on disk, once; the first insert does it.
    void ensureLoaded();
    // Unlinks what goes beyond the budget, oldest use first.
    void evictLocked();
    void forgetLocked(const QString& key);
    // A use stamp later than every earlier one, so the order survives a restart even within one clock tick.
    qint64 nextStampLocked();

    const QString directory_;
    const qint64 byteLimit_;
    QMutex mutex_;
    bool listing_ = false;
    bool listed_ = false;
    std::list<Entry> order_; // most recent first
    QHash<QString, std::list<Entry>::iterator> index_;
    qint64 bytes_ = 0;
    qint64 lastStamp_ = 0;
};

} // namespace app
