#pragma once

#include <QCache>
#include <QElapsedTimer>
#include <QHash>
#include <QImage>
#include <QList>
#include <QNetworkAccessManager>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>
#include <QUrl>

class QNetworkReply;

namespace app {

// Fetches map tiles politely: only what the view asks for, nearest the centre first, at most two
// requests per host at a time, a memory cache costed in bytes in front of a disk cache that keeps
// tiles for their HTTP lifetime and at least a week, and a few spaced-out retries per failed tile.
// Main thread only.
class MapTileLoader : public QObject {
    Q_OBJECT
public:
    struct Options {
        // Empty: the user's cache folder + "/tiles".
        QString cacheDirectory;
        int requestsPerHost = 2;
        int maximumAttempts = 3;
        int firstRetryDelayMs = 1000;
        int transferTimeoutMs = 20000;
        qint64 memoryBytes = qint64(64) * 1024 * 1024;
        qint64 diskBytes = qint64(256) * 1024 * 1024;
    };

    explicit MapTileLoader(QObject* parent = nullptr);
    explicit MapTileLoader(Options options, QObject* parent = nullptr);
    ~MapTileLoader() override;

    // The tiles the view needs now, most important first. Requests for tiles no longer wanted are
    // aborted; queued ones are dropped.
    void setWanted(const QList<QUrl>& urls);

    // The decoded tile, or nullptr while it is not in memory.
    const QImage* tile(const QUrl& url) const;
    // True once a tile has failed its last attempt; it is not asked for again.
    bool hasFailed(const QUrl& url) const;

    // "Tessivarnholm/<version> (<contact>)": tile servers ask every client to say who it is.
    static QByteArray userAgent();
    static QString defaultCacheDirectory();

    // For tests.
    int requestsStarted() const { return requestsStarted_; }
    int inFlight() const { return int(inFlight_.size()); }
    int waitingRetries() const;

Q_SIGNALS:
    // A tile arrived or gave up: the view should repaint.
    void tilesChanged();

private:
    struct Failure {
        int attempts = 0;
        qint64 retryAt = 0;
    };

    void pump();
    void start(const QUrl& url);
    void finished(QNetworkReply* reply);
    bool eligible(const QString& key) const;
    void scheduleRetry();

    Options options_;
    QNetworkAccessManager network_;
    QCache<QString, QImage> memory_;
    QList<QUrl> wanted_;
    QSet<QString> wantedKeys_;
    QHash<QString, QNetworkReply*> inFlight_;
    QHash<QString, int> perHost_;
    QHash<QString, Failure> failures_;
    QTimer retryTimer_;
    QElapsedTimer clock_;
    int requestsStarted_ = 0;
};

} // namespace app
