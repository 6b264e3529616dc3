#pragma once

#include "app/models/MediaItem.h"
#include "app/platform/decoding/ImageDecoder.h"
#include "app/services/library/FileStamp.h"

#include <QHash>
#include <QImage>
#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QThreadPool>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

namespace app {

class ThumbnailCache;

// Handle of one thumbnail request. Cancelling it before the request is admitted means nothing
// is decoded; cancelling it later means the result is not delivered.
class ThumbnailTicket {
public:
    ThumbnailTicket() = default;
    void cancel() const;
    bool isCancelled() const;
    bool isValid() const { return bool(flag_); }

private:
    friend class ThumbnailProvider;
    explicit ThumbnailTicket(std::shared_ptr<std::atomic_bool> flag) : flag_(std::move(flag)) {}
    std::shared_ptr<std::atomic_bool> flag_;
};

// The process-wide source of downscaled images of media files: a memory cache in front of at
// most six decodes at once. Lives on the main thread; decodes on its own thread pool.
class ThumbnailProvider : public QObject {
    Q_OBJECT

public:
    struct Options {
        int maxConcurrentDecodes = 6;
        qsizetype cacheCountLimit = 1200;
        // A count alone lets the cache grow past several gigabytes (one 2200-point image at scale 2
        // is about 58 MB). 192 MiB still holds three such images, or about eight screens of
        // 280-pixel grid cells, and keeps a 100,000-item library scrolled end to end under 400 MB.
        qint64 cacheByteLimit = qint64(192) * 1024 * 1024;
        // Thumbnails kept between runs; empty keeps none. The shared instance uses the user's cache folder.
        QString diskCacheDirectory;
        // About 100,000 grid thumbnails at one size.
        qint64 diskCacheByteLimit = qint64(1024) * 1024 * 1024;
        // Grid and pin sizes are kept; the viewer's full-size pictures are not.
        int diskCacheMaxPixelSize = 1024;
    };

    using Completion = std::function<void(const QImage&)>;

    explicit ThumbnailProvider(std::unique_ptr<ImageDecoder> decoder, QObject* parent = nullptr);
    ThumbnailProvider(std::unique_ptr<ImageDecoder> decoder, Options options, QObject* parent = nullptr);
    ~ThumbnailProvider() override;

    // The instance the application shares, with the platform decoders; created on first use.
    static ThumbnailProvider& shared();

    // pointSize × scale rounded half away from zero; 0 for anything not finite and positive.
    static int pixelSize(double pointSize, double scale);

    // Asks for an image of `item` at most pointSize × scale pixels on its longer side.
    // A cache hit calls `done` before returning. Otherwise `done` runs later on the main thread
    // with the image, or a null image when none could be made, unless `context` is gone or the
    // ticket was cancelled by then. Must be called on the main thread.
    ThumbnailTicket thumbnail(const MediaItem& item, double pointSize, double scale, QObject* context,
                              Completion done);

    // What the cache holds for the item at this pixel size and the file's current generation.
    // Never decodes, never waits.
    std::optional<QImage> cachedThumbnail(const MediaItem& item, int pixelSize) const;
    // The first cached image among these point sizes at this scale, in the order given. The
    // viewer's placeholder passes the grid's sizes, largest first: its own size is never made.
    std::optional<QImage> cachedThumbnail(const MediaItem& item, const QList<double>& pointSizes, double scale) const;

    // "path|pixelSize|generation".
    QString cacheKey(const MediaItem& item, int pixelSize) const;
    quint64 generation(const QString& path) const;

    // Moves the file to a new generation so nothing cached before is found again, deletes its
    // thumbnails kept on disk (every size), then emits orientationDidChange(path) on the main
    // thread; direct observers run before this returns when called on the main thread.
    void invalidate(const QString& path);
    // Deletes the file's thumbnails kept on disk, every size, from any thread, even once the
    // provider is gone: for a writer whose end may never reach the main thread (the program quits).
    std::function<void(const QString& path)> keptThumbnailsForgetter() const;
    // The files the memory cache holds images of.
    QStringList cachedPaths() const;

    // Counters for tests and benchmarks.
    quint64 decodesStarted() const { return decodesStarted_.load(); }
    quint64 diskHits() const { return diskHits_.load(); }
    quint64 requestsIssued() const { return requestsIssued_.load(); }
    qsizetype cachedCount() const;
    qint64 cachedBytes() const;
    qint64 cacheByteLimit() const;
    // Blocks until no decode is queued or running; for tests and benchmarks.
    void waitForIdle();

Q_SIGNALS:
    void orientationDidChange(const QString& path);

private:
    // The images in memory were made from the file's stamp seen last; a look at the file (any
    // request for it) that finds another stamp means another program changed it: invalidate.
    void lookedAt(const QString& path, const std::optional<FileStamp>& stamp);
    void lookLater(const QString& path);

    struct Shared;
    std::shared_ptr<Shared> shared_;
    QThreadPool pool_;
    mutable QMutex generationLock_;
    QHash<QString, quint64> generations_;
    QHash<QString, FileStamp> stamps_;
    QSet<QString> looksQueued_;
    std::atomic<quint64> decodesStarted_{0};
    std::atomic<quint64> diskHits_{0};
    std::atomic<quint64> requestsIssued_{0};
};

} // namespace app
