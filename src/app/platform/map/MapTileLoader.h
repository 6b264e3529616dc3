#pragma once

#include <QCache>
#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QImage>
#include <QList>
#include <QNetworkCacheMetaData>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <memory>

class QThreadPool;

namespace app {

class BoundedFetch;
class NetworkClient;

// Fetches map tiles politely: only what the view asks for, nearest the centre first, at most two
// requests per host at a time, a memory cache costed in bytes in front of a disk cache that keeps
// tiles for their HTTP lifetime and at least a week.
//
// Tile servers are not trusted: an answer is read only up to its byte bound, its picture's size is
// read from its header and refused past the pixel bound before anything is decoded, decoding runs
// on a worker, and only an answer that decodes is kept, on disk and in memory (scaled to the tile
// size, so it always fits). A failed tile is asked again a few times quickly, then after every
// finished move of the camera or after the long delay, for as long as the view wants it.
// Main thread only.
class MapTileLoader : public QObject {
    Q_OBJECT
public:
    struct Options {
        // Empty: defaultCacheDirectory().
        QString cacheDirectory;
        int requestsPerHost = 2;
        // Attempts spaced 1×, 2×, … the first delay; after them the long delay, never more.
        int quickAttempts = 3;
        int firstRetryDelayMs = 1000;
        int longRetryDelayMs = 30000;
        // The whole exchange of one tile.
        int transferTimeoutMs = 20000;
        qint64 maximumTileBytes = qint64(2) * 1024 * 1024;
        int maximumTileSide = 1024;
        qint64 memoryBytes = qint64(64) * 1024 * 1024;
        qint64 diskBytes = qint64(256) * 1024 * 1024;
    };

    explicit MapTileLoader(QObject* parent = nullptr);
    explicit MapTileLoader(Options options, QObject* parent = nullptr);
    ~MapTileLoader() override;

    // The tiles the view needs now, most important first. Requests for tiles no longer wanted are
    // aborted; queued ones are dropped.
    void setWanted(const QList<QUrl>& urls);
    // A move of the camera has ended: failed tiles still wanted are asked again now.
    void cameraMoved();

    // The decoded tile, or nullptr while it is not in memory.
    const QImage* tile(const QUrl& url) const;
    // True once a tile has failed its quick attempts: it shows as a placeholder until it loads.
    bool hasFailed(const QUrl& url) const;

    // ~/.cache/Tessivarnholm/tiles
    static QString defaultCacheDirectory();
    // Until when a tile answered with these headers stays fresh on disk: its HTTP lifetime, and at
    // least a week, as tile servers ask of their clients.
    static QDateTime keptUntil(const QList<QPair<QByteArray, QByteArray>>& headers, const QDateTime& now);
    // The tile as shown, or a null image for anything that is not a picture within the bounds.
    static QImage decodeTile(const QByteArray& bytes, int maximumSide);

    // For tests.
    int requestsStarted() const { return requestsStarted_; }
    int inFlight() const { return int(inFlight_.size() + decoding_.size()); }
    int waitingRetries() const;
    qint64 bytesRead() const { return bytesRead_; }

Q_SIGNALS:
    // A tile arrived or failed: the view should repaint.
    void tilesChanged();

private:
    struct Failure {
        int attempts = 0;
        qint64 retryAt = 0;
    };

    void pump();
    void start(const QUrl& url);
    void fetched(const QUrl& url, BoundedFetch* fetch);
    void decoded(const QUrl& url, const QImage& image, const QByteArray& bytes, const QNetworkCacheMetaData& metaData);
    void fail(const QString& key);
    bool eligible(const QString& key) const;
    void scheduleRetry();
    static QThreadPool& decoders();

    Options options_;
    std::unique_ptr<NetworkClient> network_;
    QCache<QString, QImage> memory_;
    QList<QUrl> wanted_;
    QSet<QString> wantedKeys_;
    QHash<QString, BoundedFetch*> inFlight_;
    QSet<QString> decoding_;
    // Tiles loaded while the camera stayed: not asked again should the memory cache drop them.
    QSet<QString> delivered_;
    QHash<QString, int> perHost_;
    QHash<QString, Failure> failures_;
    QTimer retryTimer_;
    QElapsedTimer clock_;
    int requestsStarted_ = 0;
    qint64 bytesRead_ = 0;
};

} // namespace app
