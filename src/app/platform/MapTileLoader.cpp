#include "app/platform/MapTileLoader.h"

#include "p2p/protocol/P2PLog.h"

#include <QDateTime>
#include <QNetworkDiskCache>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslSocket>
#include <QStandardPaths>

#include <algorithm>

#ifndef TESS_VERSION
#define TESS_VERSION "0"
#endif

namespace app {

namespace {

// Tile servers ask clients to keep tiles for as long as the response allows and for at least a
// week, and never to ask again sooner.
class TileDiskCache final : public QNetworkDiskCache {
public:
    using QNetworkDiskCache::QNetworkDiskCache;

    QIODevice* prepare(const QNetworkCacheMetaData& metaData) override
    {
        QNetworkCacheMetaData kept = metaData;
        const QDateTime week = QDateTime::currentDateTimeUtc().addDays(7);
        if (!kept.expirationDate().isValid() || kept.expirationDate() < week)
            kept.setExpirationDate(week);
        // A max-age shorter than a week in the stored headers would make the cache ask again.
        QNetworkCacheMetaData::RawHeaderList headers;
        for (const auto& header : kept.rawHeaders())
            if (header.first.compare("cache-control", Qt::CaseInsensitive) != 0
                && header.first.compare("expires", Qt::CaseInsensitive) != 0)
                headers.append(header);
        kept.setRawHeaders(headers);
        return QNetworkDiskCache::prepare(kept);
    }
};

// Who to write to about this client's traffic, as tile servers' usage rules ask.
constexpr const char* contact = "tessivarnholm@users.noreply.github.com";

void checkTlsOnce()
{
    static const bool checked = [] {
        if (!QSslSocket::supportsSsl())
            p2p::Logger("map").error("no TLS backend: map tiles and place names over HTTPS cannot load");
        return true;
    }();
    (void)checked;
}

} // namespace

MapTileLoader::MapTileLoader(QObject* parent) : MapTileLoader(Options{}, parent) {}

MapTileLoader::MapTileLoader(Options options, QObject* parent) : QObject(parent), options_(std::move(options))
{
    checkTlsOnce();
    auto* disk = new TileDiskCache(&network_);
    disk->setCacheDirectory(options_.cacheDirectory.isEmpty() ? defaultCacheDirectory() : options_.cacheDirectory);
    disk->setMaximumCacheSize(options_.diskBytes);
    network_.setCache(disk);
    network_.setTransferTimeout(options_.transferTimeoutMs);
    memory_.setMaxCost(options_.memoryBytes);
    retryTimer_.setSingleShot(true);
    retryTimer_.setTimerType(Qt::PreciseTimer);
    connect(&retryTimer_, &QTimer::timeout, this, &MapTileLoader::pump);
    connect(&network_, &QNetworkAccessManager::finished, this, &MapTileLoader::finished);
    clock_.start();
}

MapTileLoader::~MapTileLoader()
{
    // Aborting emits finished(); nothing must run against a half-destroyed loader.
    disconnect(&network_, nullptr, this, nullptr);
    for (QNetworkReply* reply : std::as_const(inFlight_)) {
        reply->abort();
        reply->deleteLater();
    }
}

QByteArray MapTileLoader::userAgent()
{
    return QByteArray("Tessivarnholm/") + TESS_VERSION + " (Linux photo application; contact: " + contact + ")";
}

QString MapTileLoader::defaultCacheDirectory()
{
    return QStandardPaths::writableLocation(QStandardPaths::CacheLocation) + "/tiles";
}

const QImage* MapTileLoader::tile(const QUrl& url) const
{
    return memory_.object(url.toString());
}

bool MapTileLoader::hasFailed(const QUrl& url) const
{
    const auto it = failures_.constFind(url.toString());
    return it != failures_.cend() && it->attempts >= options_.maximumAttempts;
}

int MapTileLoader::waitingRetries() const
{
    return int(std::count_if(failures_.cbegin(), failures_.cend(),
                             [this](const Failure& f) { return f.attempts < options_.maximumAttempts; }));
}

void MapTileLoader::setWanted(const QList<QUrl>& urls)
{
    wanted_ = urls;
    wantedKeys_.clear();
    for (const QUrl& url : urls)
        wantedKeys_.insert(url.toString());
    // No prefetching: a tile that scrolled out of view is not worth its request any more.
    const QList<QString> running = inFlight_.keys();
    for (const QString& key : running)
        if (QNetworkReply* reply = inFlight_.value(key); reply && !wantedKeys_.contains(key))
            reply->abort();
    pump();
}

bool MapTileLoader::eligible(const QString& key) const
{
    if (inFlight_.contains(key) || memory_.contains(key))
        return false;
    const auto failure = failures_.constFind(key);
    return failure == failures_.cend()
        || (failure->attempts < options_.maximumAttempts && failure->retryAt <= clock_.elapsed());
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
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::UserAgentHeader, userAgent());
    // The default cache policy: a fresh cached tile is used without asking, a stale one is revalidated.
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::PreferNetwork);
    QNetworkReply* reply = network_.get(request);
    inFlight_.insert(url.toString(), reply);
    perHost_[url.host()] += 1;
    ++requestsStarted_;
}

void MapTileLoader::finished(QNetworkReply* reply)
{
    reply->deleteLater();
    const QUrl url = reply->request().url();
    const QString key = url.toString();
    if (inFlight_.value(key) != reply)
        return;
    inFlight_.remove(key);
    if (--perHost_[url.host()] <= 0)
        perHost_.remove(url.host());

    // Aborted because it left the view: not a failure of the tile. setWanted() pumps afterwards.
    if (reply->error() == QNetworkReply::OperationCanceledError)
        return;
    QImage image;
    if (reply->error() == QNetworkReply::NoError)
        image.loadFromData(reply->readAll());
    if (image.isNull()) {
        Failure& failure = failures_[key];
        failure.attempts += 1;
        // Back off: 1×, 2×, 4× the first delay.
        failure.retryAt = clock_.elapsed() + qint64(options_.firstRetryDelayMs) * (qint64(1) << std::min(failure.attempts - 1, 10));
    } else {
        failures_.remove(key);
        const qint64 cost = std::max<qint64>(1, image.sizeInBytes());
        memory_.insert(key, new QImage(std::move(image)), cost);
    }
    Q_EMIT tilesChanged();
    pump();
}

void MapTileLoader::scheduleRetry()
{
    // Retries already due wait for a free slot; the request that frees it pumps again.
    const qint64 now = clock_.elapsed();
    qint64 next = -1;
    for (auto it = failures_.cbegin(); it != failures_.cend(); ++it) {
        if (it->attempts >= options_.maximumAttempts || it->retryAt <= now || !wantedKeys_.contains(it.key()))
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
