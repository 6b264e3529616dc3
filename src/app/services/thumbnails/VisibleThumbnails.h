#pragma once

#include "app/models/MediaItem.h"
#include "app/services/thumbnails/ThumbnailProvider.h"

#include <QHash>
#include <QImage>
#include <QObject>
#include <QPointer>

namespace app {

// The thumbnails of the items a grid shows: asks for the items in a window of indices, gives up
// requests of items that leave it, and keeps each item's last image until a new one arrives.
// Lives on the main thread. Plain bookkeeping, so the grid widget stays thin and the scrolling
// benchmark can drive it without a screen.
class VisibleThumbnails : public QObject {
    Q_OBJECT
public:
    explicit VisibleThumbnails(ThumbnailProvider* provider, QObject* parent = nullptr);
    ~VisibleThumbnails() override;

    // Cells of files no longer listed stop loading; the others keep their images.
    void setItems(const MediaItems& items);
    // Requests every item in [first, last] not yet asked for at this size; forgets the rest.
    void setWindow(int first, int last, double pointSize, double scale);
    // Asks again for one file (after its orientation changed) if it is in the window.
    void reload(const QString& path);

    // The image to draw for an item; null while none has arrived.
    QImage image(const QString& path) const;
    int indexOf(const QString& path) const { return index().value(path, -1); }

    QList<QString> loadingPaths() const;
    qsizetype cellCount() const { return cells_.size(); }
    qint64 heldBytes() const;
    quint64 requestsMade() const { return requestsMade_; }
    quint64 requestsCancelled() const { return requestsCancelled_; }

Q_SIGNALS:
    // A new image for the item at this index.
    void imageArrived(int index);

private:
    struct Cell {
        QImage image;
        int shownKey = 0;
        int wantedKey = 0;
        ThumbnailTicket ticket;
        bool loading = false;
        int index = -1; // where the item was when asked for; checked against the list before use
    };
    void request(int index, int pixelKey);
    // Path to position, made when first asked for: a page shown with 100,000 items paints before
    // it ever needs one.
    const QHash<QString, int>& index() const;
    int indexOfCell(const QString& path, const Cell& cell) const;

    QPointer<ThumbnailProvider> provider_;
    MediaItems items_;
    mutable QHash<QString, int> indexOfPath_;
    mutable bool indexed_ = false;
    QHash<QString, Cell> cells_;
    int first_ = 0;
    int last_ = -1;
    double pointSize_ = 0;
    double scale_ = 1;
    quint64 requestsMade_ = 0;
    quint64 requestsCancelled_ = 0;
};

} // namespace app
