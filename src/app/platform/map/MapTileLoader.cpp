#include "app/platform/desktop/ApplicationSupport.h"
#include "app/platform/map/MapTileLoader.h"

#include "app/platform/map/BoundedFetch.h"
#include "app/platform/desktop/ExitWait.h"
#include "app/platform/map/MapCamera.h"
#include "p2p/protocol/P2PLog.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QImageReader>
#include <QNetworkDiskCache>
#include <QPointer>
#include <QSslSocket>
#include <QThreadPool>
#include <QTimeZone>

#include <algorithm>

namespace app {

namespace {

// Stores what the loader hands it, fresh until the loader's date: the stored headers must not
// make the cache ask the server sooner.
class TileDiskCache final : public QNetworkDiskCache {
public:
    using QNetworkDiskCache::QNetworkDiskCache;

    QIODevice* prepare(const QNetworkCacheMetaData& metaData) override
    {
        QNetworkCacheMetaData kept = metaData;
        QNetworkCacheMetaData::RawHeaderList headers;
        for (const auto& header : kept.rawHeaders())
            if (header.first.compare("cache-control", Qt::CaseInsensitive) != 0
                && header.first.compare("expires", Qt::CaseInsensitive) != 0)
                headers.append(header);
        kept.setRawHeaders(headers);
        return QNetworkDiskCache::prepare(kept);
    }
};

void checkTlsOnce()
{
    static const bool checked = [] {
        if (!QSslSocket::supportsSsl())
            p2p::Logger("map").error("no TLS backend: map tiles and place names over HTTPS cannot load");
        return true;
    }();
    (void)checked;
}

const QSet<QByteArray> tileFormats = {"png", "jpeg", "jpg", "webp"};

} // namespace

MapTileLoader::MapTileLoader(QObject* parent) : MapTileLoader(Options{}, parent) {}

MapTileLoader::MapTileLoader(Options options, QObject* parent) : QObject(parent), options_(std::move(options))
{
    checkTlsOnce();
    const QString directory = options_.cacheDirectory.isEmpty() ? defaultCacheDirectory() : options_.cacheDirectory;
    network_ = std::make_unique<NetworkClient>([directory, bytes = options_.diskBytes]() -> QAbstractNetworkCache* {
        auto* disk = new TileDiskCache;
        disk->setCacheDirectory(directory);
        disk->setMaximumCacheSize(bytes);
        return disk;
    });
    memory_.setMaxCost(options_.memoryBytes);
    retryTimer_.setSingleShot(true);
    retryTimer_.setTimerType(Qt::PreciseTimer);
    connect(&retryTimer_, &QTimer::timeout, this, &MapTileLoader::pump);
    clock_.start();
}

MapTileLoader::~MapTileLoader()
{
    // Aborting reports back; nothing must run against a half-destroyed loader.
    for (BoundedFetch* fetch : std::as_const(inFlight_)) {
        fetch->disconnect(this);
        delete fetch;
    }
    network_.reset();
}

QString MapTileLoader::defaultCacheDirectory()
{
    return applicationCacheFolder() + QStringLiteral("/tiles");
}

QDateTime MapTileLoader::keptUntil(const QList<QPair<QByteArray, QByteArray>>& headers, const QDateTime& now)
{
    QDateTime until = now.addDays(7);
    for (const auto& [name, value] : headers) {
        QDateTime lifetime;
        if (name.compare("cache-control", Qt::CaseInsensitive) == 0) {
            for (const QByteArray& directive : value.split(',')) {
                const QByteArray trimmed = directive.trimmed().toLower();
                bool ok = false;
                const qint64 seconds = trimmed.startsWith("max-age=") ? trimmed.mid(8).toLongLong(&ok) : 0;
                if (ok && seconds > 0)
                    lifetime = now.addSecs(std::min<qint64>(seconds, qint64(365) * 24 * 3600));
            }
        } else if (name.compare("expires", Qt::CaseInsensitive) == 0) {
            lifetime = QLocale::c().toDateTime(QString::fromLatin1(value.trimmed()), "ddd, dd MMM yyyy HH:mm:ss 'GMT'");
            lifetime.setTimeZone(QTimeZone::utc());
            if (lifetime.isValid())
                lifetime = std::min(lifetime, now.addDays(365));
        }
        if (lifetime.isValid() && lifetime > until)
            until = lifetime;
    }
    return until;
}

QImage MapTileLoader::decodeTile(const QByteArray& bytes, int maximumSide)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    // The header says how large the picture is; anything larger is refused before decoding.
    const QSize size = reader.size();
    if (!tileFormats.contains(reader.format()) || size.isEmpty() || size.width() > maximumSide
        || size.height() > maximumSide)
        return {};
    QImage image;
    if (!reader.read(&image) || image.isNull())
        return {};
    const int side = int(MapCamera::tileSize);
    if (image.size() != QSize(side, side))
        image = image.scaled(side, side, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    return image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

QThreadPool& MapTileLoader::decoders()
{
    static QThreadPool* pool = [] {
        auto* p = new QThreadPool;
        p->setMaxThreadCount(2);
        drainAtExit(*p);
        return p;
    }();
    return *pool;
}

const QImage* MapTileLoader::tile(const QUrl& url) const
{
    return memory_.object(url.toString());
}

bool MapTileLoader::hasFailed(const QUrl& url) const
{
    const auto it = failures_.constFind(url.toString());
    return it != failures_.cend() && it->attempts >= options_.quickAttempts;
}

int MapTileLoader::waitingRetries() const
{
    return int(std::count_if(failures_.cbegin(), failures_.cend(),
                             [this](const Failure& f) { return f.attempts < options_.quickAttempts; }));
}

void MapTileLoader::setWanted(const QList<QUrl>& urls)
{
    wanted_ = urls;
    wantedKeys_.clear();
    for (const QUrl& url : urls)
        wantedKeys_.insert(url.toString());
    delivered_.intersect(wantedKeys_);
    // No prefetching: a tile that scrolled out of view is not worth its request any more.
    const QList<QString> running = inFlight_.keys();
    for (const QString& key : running)
        if (BoundedFetch* fetch = inFlight_.value(key); fetch && !wantedKeys_.contains(key))
            fetch->cancel();
    pump();
}

void MapTileLoader::cameraMoved()
{
    const qint64 now = clock_.elapsed();
    for (auto it = failures_.begin(); it != failures_.end(); ++it)
        if (it->attempts >= options_.quickAttempts)
            it->retryAt = std::min(it->retryAt, now);
    delivered_.clear();
    pump();
}

bool MapTileLoader::eligible(const QString& key) const
{
    if (inFlight_.contains(key) || decoding_.contains(key) || delivered_.contains(key) || memory_.contains(key))
        return false;
    const auto failure = failures_.constFind(key);
    return failure == failures_.cend() || failure->retryAt <= clock_.elapsed();
}

void MapTileLoader::pump()
{
    for (const QUrl& url : std::as_const(wanted_)) {
        if (!eligible(url.toString()))
            continue;
        if (perHost_.value(url.host()) >= options_.requestsPerHost)
            continue;
        start(url);
    }
    scheduleRetry();
}

void MapTileLoader::start(const QUrl& url)
{
    QNetworkRequest request = BoundedFetch::request(url);
    // A fresh cached tile is used without asking, a stale one is revalidated; only tiles that
    // decode are written to the cache, by decoded().
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::PreferNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    auto* fetch = new BoundedFetch(*network_, request, {options_.maximumTileBytes, options_.transferTimeoutMs}, this);
    connect(fetch, &BoundedFetch::finished, this, [this, url, fetch] { fetched(url, fetch); });
    inFlight_.insert(url.toString(), fetch);
    perHost_[url.host()] += 1;
    ++requestsStarted_;
}

void MapTileLoader::fetched(const QUrl& url, BoundedFetch* fetch)
{
    fetch->deleteLater();
    const QString key = url.toString();
    if (inFlight_.value(key) != fetch)
        return;
    inFlight_.remove(key);
    if (--perHost_[url.host()] <= 0)
        perHost_.remove(url.host());
    const BoundedFetch::Answer& answer = fetch->answer();
    bytesRead_ += answer.bytesRead;

    // Aborted because it left the view: not a failure of the tile; its slot is free again.
    if (fetch->outcome() == BoundedFetch::Outcome::cancelled) {
        pump();
        return;
    }
    if (fetch->outcome() != BoundedFetch::Outcome::complete) {
        fail(key);
        Q_EMIT tilesChanged();
        pump();
        return;
    }
    QNetworkCacheMetaData metaData;
    if (!answer.fromCache) {
        metaData.setUrl(url);
        metaData.setRawHeaders(answer.headers);
        metaData.setLastModified(answer.lastModified);
        metaData.setExpirationDate(keptUntil(answer.headers, QDateTime::currentDateTimeUtc()));
        QNetworkCacheMetaData::AttributesMap attributes;
        attributes.insert(QNetworkRequest::HttpStatusCodeAttribute, answer.httpStatus);
        attributes.insert(QNetworkRequest::HttpReasonPhraseAttribute, answer.reasonPhrase);
        metaData.setAttributes(attributes);
        metaData.setSaveToDisk(true);
    }
    decoding_.insert(key);
    QPointer<MapTileLoader> self(this);
    decoders().start([self, url, bytes = answer.body, side = options_.maximumTileSide, metaData] {
        const QImage image = decodeTile(bytes, side);
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, url, image, bytes, metaData] {
                if (self)
                    self->decoded(url, image, bytes, metaData);
            },
            Qt::QueuedConnection);
    });
}

void MapTileLoader::decoded(const QUrl& url, const QImage& image, const QByteArray& bytes,
                            const QNetworkCacheMetaData& metaData)
{
    const QString key = url.toString();
    decoding_.remove(key);
    const bool fromCache = !metaData.isValid();
    if (image.isNull()) {
        // What an older version kept must not stand in for the server's answer again.
        if (fromCache)
            network_->run([url](QNetworkAccessManager&, QAbstractNetworkCache* disk) { disk->remove(url); });
        fail(key);
    } else {
        failures_.remove(key);
        delivered_.insert(key);
        memory_.insert(key, new QImage(image), std::max<qint64>(1, image.sizeInBytes()));
        if (!fromCache)
            network_->run([url, bytes, metaData](QNetworkAccessManager&, QAbstractNetworkCache* disk) {
                if (QIODevice* device = disk->prepare(metaData)) {
                    if (device->write(bytes) == bytes.size())
                        disk->insert(device);
                    else
                        disk->remove(url);
                }
            });
    }
    Q_EMIT tilesChanged();
    pump();
}

void MapTileLoader::fail(const QString& key)
{
    Failure& failure = failures_[key];
    failure.attempts += 1;
    // Back off: 1×, 2×, 4× … the first delay for the quick attempts, then the long delay.
    const qint64 delay = failure.attempts < options_.quickAttempts
        ? qint64(options_.firstRetryDelayMs) << std::min(failure.attempts - 1, 20)
        : qint64(options_.longRetryDelayMs);
    failure.retryAt = clock_.elapsed() + std::min<qint64>(delay, options_.longRetryDelayMs);
}

void MapTileLoader::scheduleRetry()
{
    // Retries already due wait for a free slot; the request that frees it pumps again.
    const qint64 now = clock_.elapsed();
    qint64 next = -1;
    for (auto it = failures_.cbegin(); it != failures_.cend(); ++it) {
        if (it->retryAt <= now || !wantedKeys_.contains(it.key()))
            continue;
        if (next < 0 || it->retryAt < next)
            next = it->retryAt;
    }
    if (next < 0) {
        retryTimer_.stop();
        return;
    }
    retryTimer_.start(int(std::min<qint64>(next - now, 60000)));
}

} // namespace app
