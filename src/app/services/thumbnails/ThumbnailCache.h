#pragma once

#include <QHash>
#include <QImage>
#include <QList>
#include <QMutex>
#include <QString>
#include <QStringList>

#include <list>
#include <optional>
#include <utility>

namespace app {

// Least-recently-used images, bounded by count and by bytes. Thread-safe.
class ThumbnailCache {
public:
    ThumbnailCache(qsizetype countLimit, qint64 byteLimit);

    std::optional<QImage> find(const QString& key);
    // An image larger than the whole byte budget is not kept.
    void insert(const QString& key, const QImage& image);
    // Drops every entry whose key starts with `prefix`.
    void removePrefix(const QString& prefix);

    qsizetype count() const;
    QStringList keys() const;
    qint64 bytes() const;
    qint64 byteLimit() const { return byteLimit_; }

private:
    // Moves what goes beyond the limits into `dropped`, to be freed after the lock is released.
    void evictLocked(QList<QImage>& dropped);

    using Entry = std::pair<QString, QImage>;
    const qsizetype countLimit_;
    const qint64 byteLimit_;
    mutable QMutex mutex_;
    std::list<Entry> order_; // most recent first
    QHash<QString, std::list<Entry>::iterator> index_;
    qint64 bytes_ = 0;
};

} // namespace app
