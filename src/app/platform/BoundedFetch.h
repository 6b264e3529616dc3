#pragma once

#include <QByteArray>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QObject>
#include <QPointer>
#include <QTimer>

class QNetworkAccessManager;

namespace app {

// "Tessivarnholm/<version> (<contact>)": the one name this program gives every server it asks.
QByteArray applicationUserAgent();

// One GET whose answer is read as it arrives and given up past a byte bound or a time limit on the
// whole exchange, so no server can fill the memory or hold the caller. Redirects are followed only
// to the same scheme, host and port, so nothing in the query leaves for another host. Main thread;
// `finished` comes once, also after cancel().
class BoundedFetch : public QObject {
    Q_OBJECT
public:
    enum class Outcome { running, complete, failed, tooLarge, timedOut, cancelled };
    struct Limits {
        qint64 maximumBytes = 0;
        // The whole exchange, not the time between two bytes; 0: none.
        int totalTimeoutMs = 0;
    };

    // A request with the program's User-Agent and the redirect rule above.
    static QNetworkRequest request(const QUrl& url);

    BoundedFetch(QNetworkAccessManager& network, const QNetworkRequest& request, Limits limits,
                 QObject* parent = nullptr);
    ~BoundedFetch() override;

    void cancel();
    Outcome outcome() const { return outcome_; }
    // The body so far; never longer than the bound.
    const QByteArray& body() const { return body_; }
    qint64 bytesRead() const { return bytesRead_; }
    int httpStatus() const;
    // The reply, for its headers and attributes; alive until this object goes.
    QNetworkReply* reply() const { return reply_; }

Q_SIGNALS:
    void finished();

private:
    void readAvailable();
    void stop(Outcome outcome);
    void replyFinished();

    QPointer<QNetworkReply> reply_;
    Limits limits_;
    QByteArray body_;
    qint64 bytesRead_ = 0;
    Outcome outcome_ = Outcome::running;
    Outcome stoppedAs_ = Outcome::running;
    QTimer deadline_;
};

} // namespace app
