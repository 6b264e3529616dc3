#include "app/services/ThumbnailCache.h"

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
    QMutexLocker lock(&mutex_);
    if (const auto it = index_.constFind(key); it != index_.cend()) {
        bytes_ -= it.value()->second.sizeInBytes();
        order_.erase(it.value());
        index_.erase(it);
    }
    if (size > byteLimit_)
        return;
    order_.emplace_front(key, image);
    index_.insert(key, order_.begin());
    bytes_ += size;
    evictLocked();
}

void ThumbnailCache::removePrefix(const QString& prefix)
{
    QMutexLocker lock(&mutex_);
    for (auto it = order_.begin(); it != order_.end();) {
        if (it->first.startsWith(prefix)) {
            bytes_ -= it->second.sizeInBytes();
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

qint64 ThumbnailCache::bytes() const
{
    QMutexLocker lock(&mutex_);
    return bytes_;
}

void ThumbnailCache::evictLocked()
{
    while (!order_.empty() && (index_.size() > countLimit_ || bytes_ > byteLimit_)) {
        bytes_ -= order_.back().second.sizeInBytes();
        index_.remove(order_.back().first);
        order_.pop_back();
    }
}

} // namespace app
