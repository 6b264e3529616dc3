#pragma once

#include "app/services/library/FileStamp.h"

#include <QHash>
#include <QImage>
#include <QMutex>
#include <QSet>
#include <QString>

#include <list>
#include <optional>

namespace app {

// Thumbnails kept on disk between runs: one file per state of a media file and pixel size, bounded
// in bytes, the least recently used dropped first. Thread-safe; every call may touch the disk, so it
// is called from workers only.
class ThumbnailDiskCache {
public:
    // The file's stamp is in the key, so a changed file is never served its old picture. Every key
    // of one path starts with the same prefix, so all of its sizes can be forgotten at once.
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
    // Deletes every thumbnail of the file at `path`, whatever its size or stamp: for a change the
    // file's stamp does not show (a rotation keeps size and times).
    void forgetFile(const QString& path);

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
    QSet<QString> forgottenWhileListing_; // the listing may have seen them before they went
    std::list<Entry> order_; // most recent first
    QHash<QString, std::list<Entry>::iterator> index_;
    qint64 bytes_ = 0;
    qint64 lastStamp_ = 0;
};

} // namespace app
