#include "app/platform/desktop/ApplicationSupport.h"
#include "app/services/thumbnails/ThumbnailProvider.h"

#include "app/platform/desktop/ExitWait.h"
#include "app/services/thumbnails/ThumbnailCache.h"
#include "app/services/thumbnails/ThumbnailDiskCache.h"

#include <QLoggingCategory>
#include <QMetaObject>
#include <QMutexLocker>
#include <QThread>

#include <malloc.h>

#include <cmath>
#include <exception>
#include <limits>

namespace app {

namespace {
// Off unless asked for (QT_LOGGING_RULES="tessivarnholm.thumbnails.debug=true"): tells decodes from
// thumbnails kept on disk.
Q_LOGGING_CATEGORY(lcThumbnails, "tessivarnholm.thumbnails", QtInfoMsg)
} // namespace

void ThumbnailTicket::cancel() const
{
    if (flag_)
        flag_->store(true);
}

bool ThumbnailTicket::isCancelled() const
{
    return flag_ && flag_->load();
}

struct ThumbnailProvider::Shared {
    Shared(std::unique_ptr<ImageDecoder> d, const Options& o)
        : decoder(std::move(d)), cache(o.cacheCountLimit, o.cacheByteLimit), diskMaxPixels(o.diskCacheMaxPixelSize)
    {
        if (!o.diskCacheDirectory.isEmpty())
            disk = std::make_unique<ThumbnailDiskCache>(o.diskCacheDirectory, o.diskCacheByteLimit);
    }
    std::unique_ptr<ImageDecoder> decoder;
    ThumbnailCache cache;
    std::unique_ptr<ThumbnailDiskCache> disk;
    const int diskMaxPixels;

    // How often each file's kept thumbnails were forgotten: a decode that spans one keeps nothing.
    // A rotation keeps a file's stamp on FAT and exFAT, and at quit no generation tells the change.
    quint64 forgets(const QString& path)
    {
        QMutexLocker lock(&forgetLock);
        return forgetCounts.value(path, 0);
    }
    void forget(const QString& path)
    {
        {
            QMutexLocker lock(&forgetLock);
            forgetCounts[path] += 1;
        }
        if (disk)
            disk->forgetFile(path);
    }
    QMutex forgetLock;
    QHash<QString, quint64> forgetCounts;
};

ThumbnailProvider::ThumbnailProvider(std::unique_ptr<ImageDecoder> decoder, QObject* parent)
    : ThumbnailProvider(std::move(decoder), Options{}, parent)
{
}

ThumbnailProvider::ThumbnailProvider(std::unique_ptr<ImageDecoder> decoder, Options options, QObject* parent)
    : QObject(parent), shared_(std::make_shared<Shared>(std::move(decoder), options))
{
    // Thumbnails are made on six threads and freed on the main one; left to glibc's sliding
    // threshold they land in per-thread heaps that never shrink (about 60 MB more at the peak of a
    // 100,000-item scroll). Mapping every buffer of 128 KiB or more gives it back when evicted.
    static const bool mapped = mallopt(M_MMAP_THRESHOLD, 128 * 1024) == 1;
    Q_UNUSED(mapped);
    pool_.setMaxThreadCount(std::max(options.maxConcurrentDecodes, 1));
    pool_.setObjectName(QStringLiteral("thumbnails"));
}

ThumbnailProvider::~ThumbnailProvider()
{
    pool_.clear();
    pool_.waitForDone();
}

ThumbnailProvider& ThumbnailProvider::shared()
{
    // Kept for the life of the process; its decodes are waited for when the application ends.
    static ThumbnailProvider* instance = [] {
        Options options;
        options.diskCacheDirectory = applicationCacheFolder() + QStringLiteral("/thumbnails");
        auto* provider = new ThumbnailProvider(makeMediaImageDecoder(), options);
        drainAtExit(provider->pool_);
        return provider;
    }();
    return *instance;
}

int ThumbnailProvider::pixelSize(double pointSize, double scale)
{
    const double pixels = pointSize * scale;
    if (!std::isfinite(pixels) || pixels <= 0)
        return 0;
    // Far beyond any screen; keeps the conversion defined.
    constexpr double maxPixels = 1 << 16;
    return int(std::lround(std::min(pixels, maxPixels)));
}

quint64 ThumbnailProvider::generation(const QString& path) const
{
    QMutexLocker lock(&generationLock_);
    return generations_.value(path, 0);
}

QString ThumbnailProvider::cacheKey(const MediaItem& item, int pixelSize) const
{
    const quint64 gen = generation(item.url);
    return item.url + u'|' + QString::number(pixelSize) + u'|' + QString::number(gen);
}

std::optional<QImage> ThumbnailProvider::cachedThumbnail(const MediaItem& item, int pixelSize) const
{
    return shared_->cache.find(cacheKey(item, pixelSize));
}

std::optional<QImage> ThumbnailProvider::cachedThumbnail(const MediaItem& item, const QList<double>& pointSizes,
                                                         double scale) const
{
    for (double points : pointSizes) {
        const int pixels = pixelSize(points, scale);
        if (pixels <= 0)
            continue;
        if (auto hit = cachedThumbnail(item, pixels))
            return hit;
    }
    return std::nullopt;
}

QStringList ThumbnailProvider::cachedPaths() const
{
    QStringList paths;
    for (const QString& key : shared_->cache.keys()) {
        // The path itself may hold '|': the size and generation are the last two fields.
        const qsizetype generation = key.lastIndexOf(u'|');
        const qsizetype size = generation > 0 ? key.lastIndexOf(u'|', generation - 1) : -1;
        if (size > 0)
            paths.append(key.left(size));
    }
    paths.removeDuplicates();
    return paths;
}

qsizetype ThumbnailProvider::cachedCount() const
{
    return shared_->cache.count();
}

qint64 ThumbnailProvider::cachedBytes() const
{
    return shared_->cache.bytes();
}

qint64 ThumbnailProvider::cacheByteLimit() const
{
    return shared_->cache.byteLimit();
}

ThumbnailTicket ThumbnailProvider::thumbnail(const MediaItem& item, double pointSize, double scale,
                                             QObject* context, Completion done)
{
    ThumbnailTicket ticket(std::make_shared<std::atomic_bool>(false));
    const int pixels = pixelSize(pointSize, scale);
    const QString key = cacheKey(item, pixels);
    if (pixels <= 0) {
        if (done)
            done(QImage());
        return ticket;
    }
    if (auto hit = shared_->cache.find(key)) {
        if (done)
            done(*hit);
        lookLater(item.url);
        return ticket;
    }

    requestsIssued_.fetch_add(1);
    QPointer<QObject> receiver(context);
    auto flag = ticket.flag_;
    auto state = shared_;
    pool_.start([this, state, flag, item, pixels, key, receiver, done = std::move(done)]() mutable {
        // A request cancelled while it waited gives its place back without decoding.
        if (flag->load())
            return;
        // Read before the file is, so a decode that races a change of the file is never kept
        // under the state it started from.
        const quint64 forgetsBefore = state->forgets(item.url);
        std::optional<FileStamp> fileState = FileStamp::of(item.url);
        lookedAt(item.url, fileState);
        QString diskKey;
        QImage image;
        if (state->disk && pixels <= state->diskMaxPixels) {
            if (fileState) {
                diskKey = ThumbnailDiskCache::key(item.url, *fileState, pixels);
                if (std::optional<QImage> fromDisk = state->disk->find(diskKey)) {
                    diskHits_.fetch_add(1);
                    qCDebug(lcThumbnails, "kept %s at %d px", qUtf8Printable(item.url), pixels);
                    image = std::move(*fromDisk);
                    fileState.reset();
                }
            }
        }
        const bool decoded = image.isNull();
        if (decoded) {
            decodesStarted_.fetch_add(1);
            qCDebug(lcThumbnails, "decode %s at %d px", qUtf8Printable(item.url), pixels);
            try {
                image = state->decoder->decode(item, pixels);
            } catch (const std::exception&) {
                image = QImage();
            }
        }
        // Stored under the generation read when the request was made, so a decode that raced
        // an invalidation is never found again.
        if (!image.isNull())
            state->cache.insert(key, image);
        const QImage kept = image;
        if (!flag->load())
            QMetaObject::invokeMethod(
                this,
                [image = std::move(image), flag, receiver, done = std::move(done)]() {
                    if (flag->load() || !receiver || !done)
                        return;
                    done(image);
                },
                Qt::QueuedConnection);
        // Written after the cell has its picture; kept only when the file did not change meanwhile.
        // A rotation may keep the stamp: one that raced this decode deletes what it wrote.
        const auto unchanged = [&] { return key == cacheKey(item, pixels) && state->forgets(item.url) == forgetsBefore; };
        if (decoded && !diskKey.isEmpty() && !kept.isNull() && FileStamp::of(item.url) == fileState && unchanged()) {
            state->disk->insert(diskKey, kept);
            if (!unchanged())
                state->disk->forgetFile(item.url);
        }
    });
    return ticket;
}

void ThumbnailProvider::lookLater(const QString& path)
{
    {
        QMutexLocker lock(&generationLock_);
        if (looksQueued_.contains(path))
            return;
        looksQueued_.insert(path);
    }
    pool_.start([this, path] {
        {
            QMutexLocker lock(&generationLock_);
            looksQueued_.remove(path);
        }
        lookedAt(path, FileStamp::of(path));
    });
}

void ThumbnailProvider::lookedAt(const QString& path, const std::optional<FileStamp>& stamp)
{
    if (!stamp)
        return;
    bool changed = false;
    {
        QMutexLocker lock(&generationLock_);
        const auto seen = stamps_.constFind(path);
        changed = seen != stamps_.cend() && *seen != *stamp;
        // Stamps of files long gone from the memory cache are not worth keeping.
        if (stamps_.size() > 4 * shared_->cache.count() + 1024) {
            const QStringList cached = cachedPaths();
            QHash<QString, FileStamp> kept;
            for (const QString& p : cached)
                if (const auto it = stamps_.constFind(p); it != stamps_.cend())
                    kept.insert(p, *it);
            stamps_ = std::move(kept);
        }
        stamps_.insert(path, *stamp);
    }
    if (changed)
        invalidate(path);
}

void ThumbnailProvider::invalidate(const QString& path)
{
    {
        QMutexLocker lock(&generationLock_);
        generations_[path] += 1;
        stamps_.remove(path);
    }
    // Old generations can never be asked for again; free their memory now.
    shared_->cache.removePrefix(path + u'|');
    shared_->forget(path);
    if (QThread::currentThread() == thread())
        Q_EMIT orientationDidChange(path);
    else
        QMetaObject::invokeMethod(this, [this, path] { Q_EMIT orientationDidChange(path); }, Qt::QueuedConnection);
}

std::function<void(const QString&)> ThumbnailProvider::keptThumbnailsForgetter() const
{
    return [shared = shared_](const QString& path) { shared->forget(path); };
}

void ThumbnailProvider::waitForIdle()
{
    pool_.waitForDone();
}

} // namespace app
