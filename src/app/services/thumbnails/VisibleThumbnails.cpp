#include "app/services/thumbnails/VisibleThumbnails.h"

namespace app {

VisibleThumbnails::VisibleThumbnails(ThumbnailProvider* provider, QObject* parent)
    : QObject(parent), provider_(provider)
{
    if (provider_)
        connect(provider_, &ThumbnailProvider::orientationDidChange, this, &VisibleThumbnails::reload);
}

VisibleThumbnails::~VisibleThumbnails()
{
    for (Cell& cell : cells_)
        cell.ticket.cancel();
}

void VisibleThumbnails::setItems(const MediaItems& items)
{
    items_ = items;
    indexOfPath_.clear();
    indexed_ = false;
    for (auto it = cells_.begin(); it != cells_.end();) {
        it->index = index().value(it.key(), -1);
        if (it->index < 0) {
            it->ticket.cancel();
            it = cells_.erase(it);
        } else {
            ++it;
        }
    }
}

const QHash<QString, int>& VisibleThumbnails::index() const
{
    if (!indexed_) {
        indexed_ = true;
        indexOfPath_.reserve(items_.size());
        for (int i = 0; i < items_.size(); ++i)
            indexOfPath_.insert(items_[i].url, i);
    }
    return indexOfPath_;
}

int VisibleThumbnails::indexOfCell(const QString& path, const Cell& cell) const
{
    if (cell.index >= 0 && cell.index < items_.size() && items_[cell.index].url == path)
        return cell.index;
    return index().value(path, -1);
}

void VisibleThumbnails::setWindow(int first, int last, double pointSize, double scale)
{
    first = std::max(first, 0);
    last = std::min<qsizetype>(last, items_.size() - 1);
    first_ = first;
    last_ = last;
    pointSize_ = pointSize;
    scale_ = scale;
    // Items that left the window give up their requests; the provider's cache keeps their images.
    for (auto it = cells_.begin(); it != cells_.end();) {
        const int index = indexOfCell(it.key(), *it);
        if (index < first || index > last) {
            if (it->loading) {
                it->ticket.cancel();
                ++requestsCancelled_;
            }
            it = cells_.erase(it);
        } else {
            ++it;
        }
    }
    if (!provider_ || last < first)
        return;
    const int key = ThumbnailProvider::pixelSize(pointSize, scale);
    for (int i = first; i <= last; ++i) {
        const auto it = cells_.constFind(items_[i].url);
        if (it != cells_.cend() && it->wantedKey == key)
            continue;
        request(i, key);
    }
}

void VisibleThumbnails::reload(const QString& path)
{
    const auto cell = cells_.constFind(path);
    if (cell == cells_.cend())
        return;
    const int index = indexOfCell(path, *cell);
    if (index < 0)
        return;
    request(index, ThumbnailProvider::pixelSize(pointSize_, scale_));
}

void VisibleThumbnails::request(int index, int pixelKey)
{
    const MediaItem& item = items_[index];
    Cell& cell = cells_[item.url];
    cell.ticket.cancel();
    cell.wantedKey = pixelKey;
    cell.loading = true;
    cell.index = index;
    ++requestsMade_;
    const QString path = item.url;
    cell.ticket = provider_->thumbnail(item, pointSize_, scale_, this, [this, path, pixelKey](const QImage& image) {
        const auto it = cells_.find(path);
        if (it == cells_.end() || it->wantedKey != pixelKey)
            return;
        it->loading = false;
        // A reload that finds nothing keeps the picture already shown at this size.
        if (!image.isNull() || it->shownKey != pixelKey) {
            it->image = image;
            it->shownKey = pixelKey;
        }
        Q_EMIT imageArrived(indexOfCell(path, *it));
    });
}

QImage VisibleThumbnails::image(const QString& path) const
{
    const auto it = cells_.constFind(path);
    return it == cells_.cend() ? QImage() : it->image;
}

QList<QString> VisibleThumbnails::loadingPaths() const
{
    QList<QString> paths;
    for (auto it = cells_.cbegin(); it != cells_.cend(); ++it)
        if (it->loading)
            paths.append(it.key());
    return paths;
}

qint64 VisibleThumbnails::heldBytes() const
{
    qint64 bytes = 0;
    for (const Cell& cell : cells_)
        bytes += cell.image.sizeInBytes();
    return bytes;
}

} // namespace app
