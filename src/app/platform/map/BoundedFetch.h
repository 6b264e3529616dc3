#pragma once

#include <QAbstractNetworkCache>
#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QNetworkRequest>
#include <QObject>
#include <QPair>

#include <functional>
#include <memory>

class QNetworkAccessManager;

namespace app {

// "Tessivarnholm/<version> (<contact>)": the one name this program gives every server it asks.
QByteArray applicationUserAgent();

// A network access manager (and its cache, if any) on the program's network thread. Answers are
// read there as they arrive, by a thread that does nothing else: a busy window must not leave an
// answer to pile up in Qt's buffers before its bound is checked. Made and destroyed on the main
// thread; destroying it ends its transfers and finishes its queued work first.
class NetworkClient final {
public:
    using CacheFactory = std::function<QAbstractNetworkCache*()>;
    explicit NetworkClient(CacheFactory makeCache = {});
    ~NetworkClient();
    NetworkClient(const NetworkClient&) = delete;
    NetworkClient& operator=(const NetworkClient&) = delete;

    // Runs `work` on the network thread, in the order asked; the cache is null when there is none.
    void run(std::function<void(QNetworkAccessManager&, QAbstractNetworkCache*)> work);

private:
    class Host;
    Host* host_;
};

// One GET whose answer is read as it arrives and given up past a byte bound or a time limit on the
// whole exchange, so no server can fill the memory or hold the caller. Redirects are followed only
// to the same scheme, host and port, so nothing in the query leaves for another host. Made and used
// on the main thread; `finished` comes once, also after cancel().
class BoundedFetch : public QObject {
    Q_OBJECT
public:
    enum class Outcome { running, complete, failed, tooLarge, timedOut, cancelled };
    struct Limits {
        qint64 maximumBytes = 0;
        // The whole exchange, not the time between two bytes; 0: none.
        int totalTimeoutMs = 0;
    };
    struct Answer {
        Outcome outcome = Outcome::running;
        // Never longer than the bound.
        QByteArray body;
        qint64 bytesRead = 0;
        int httpStatus = 0;
        QByteArray reasonPhrase;
        QList<QPair<QByteArray, QByteArray>> headers;
        QDateTime lastModified;
        bool fromCache = false;
    };

    // A request with the program's User-Agent and the redirect rule above.
    static QNetworkRequest request(const QUrl& url);

    BoundedFetch(NetworkClient& client, const QNetworkRequest& request, Limits limits, QObject* parent = nullptr);
    ~BoundedFetch() override;

    void cancel();
    Outcome outcome() const { return answer_.outcome; }
    const Answer& answer() const { return answer_; }

Q_SIGNALS:
    void finished();

private:
    class Transfer;
    struct Link;

    void deliver(const Answer& answer);

    std::shared_ptr<Link> link_;
    Answer answer_;
};

} // namespace app
