#include "app/services/thumbnails/ThumbnailCache.h"

#include <QMutexLocker>

#include <algorithm>

namespace app {

ThumbnailCache::ThumbnailCache(qsizetype countLimit, qint64 byteLimit)
    : countLimit_(std::max<qsizetype>(countLimit, 1)), byteLimit_(std::max<qint64>(byteLimit, 1))
{
}

std::optional<QImage> ThumbnailCache::find(const QString& key)
{
    QMutexLocker lock(&mutex_);
    const auto it = index_.constFind(key);
    if (it == index_.cend())
        return std::nullopt;
    order_.splice(order_.begin(), order_, it.value());
    return order_.front().second;
}

void ThumbnailCache::insert(const QString& key, const QImage& image)
{
    if (image.isNull())
        return;
    const qint64 size = image.sizeInBytes();
    // Freeing a large image unmaps its memory; never do that while readers wait on the lock.
    QList<QImage> dropped;
    QMutexLocker lock(&mutex_);
    if (const auto it = index_.constFind(key); it != index_.cend()) {
        bytes_ -= it.value()->second.sizeInBytes();
        dropped.append(std::move(it.value()->second));
        order_.erase(it.value());
        index_.erase(it);
    }
    if (size > byteLimit_)
        return;
    order_.emplace_front(key, image);
    index_.insert(key, order_.begin());
    bytes_ += size;
    evictLocked(dropped);
    lock.unlock();
}

void ThumbnailCache::removePrefix(const QString& prefix)
{
    QList<QImage> dropped;
    QMutexLocker lock(&mutex_);
    for (auto it = order_.begin(); it != order_.end();) {
        if (it->first.startsWith(prefix)) {
            bytes_ -= it->second.sizeInBytes();
            dropped.append(std::move(it->second));
            index_.remove(it->first);
            it = order_.erase(it);
        } else {
            ++it;
        }
    }
}

qsizetype ThumbnailCache::count() const
{
    QMutexLocker lock(&mutex_);
    return index_.size();
}

QStringList ThumbnailCache::keys() const
{
    QMutexLocker lock(&mutex_);
    return index_.keys();
}

qint64 ThumbnailCache::bytes() const
{
    QMutexLocker lock(&mutex_);
    return bytes_;
}

void ThumbnailCache::evictLocked(QList<QImage>& dropped)
{
    while (!order_.empty() && (index_.size() > countLimit_ || bytes_ > byteLimit_)) {
        bytes_ -= order_.back().second.sizeInBytes();
        dropped.append(std::move(order_.back().second));
        index_.remove(order_.back().first);
        order_.pop_back();
    }
}

} // namespace app
