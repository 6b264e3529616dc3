#include "app/platform/BoundedFetch.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>

#include <algorithm>

#ifndef TESS_VERSION
#define TESS_VERSION "0"
#endif

namespace app {

namespace {
// Who to write to about this client's traffic, as tile servers' usage rules ask.
constexpr const char* contact = "tessivarnholm@users.noreply.github.com";
// What Qt may hold for a reply before we read it: the answer waits in the socket beyond that.
constexpr qint64 replyBufferBytes = 64 * 1024;
constexpr int maximumRedirects = 5;
} // namespace

QByteArray applicationUserAgent()
{
    return QByteArray("Tessivarnholm/") + TESS_VERSION + " (Linux photo application; contact: " + contact + ")";
}

QNetworkRequest BoundedFetch::request(const QUrl& url)
{
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::UserAgentHeader, applicationUserAgent());
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::SameOriginRedirectPolicy);
    request.setMaximumRedirectsAllowed(maximumRedirects);
    return request;
}

BoundedFetch::BoundedFetch(QNetworkAccessManager& network, const QNetworkRequest& request, Limits limits,
                           QObject* parent)
    : QObject(parent), limits_(limits)
{
    // Qt's own idle time-out is replaced by the deadline on the whole exchange.
    QNetworkRequest bounded = request;
    bounded.setTransferTimeout(0);
    reply_ = network.get(bounded);
    reply_->setReadBufferSize(replyBufferBytes);
    connect(reply_, &QNetworkReply::metaDataChanged, this, [this] {
        // A declared length past the bound is refused before its first byte.
        bool ok = false;
        const qint64 declared = reply_->header(QNetworkRequest::ContentLengthHeader).toLongLong(&ok);
        if (ok && declared > limits_.maximumBytes)
            stop(Outcome::tooLarge);
    });
    connect(reply_, &QNetworkReply::readyRead, this, &BoundedFetch::readAvailable);
    connect(reply_, &QNetworkReply::finished, this, &BoundedFetch::replyFinished);
    if (limits_.totalTimeoutMs > 0) {
        deadline_.setSingleShot(true);
        connect(&deadline_, &QTimer::timeout, this, [this] { stop(Outcome::timedOut); });
        deadline_.start(limits_.totalTimeoutMs);
    }
}

BoundedFetch::~BoundedFetch()
{
    if (reply_) {
        reply_->disconnect(this);
        reply_->abort();
        reply_->deleteLater();
    }
}

void BoundedFetch::cancel()
{
    stop(Outcome::cancelled);
}

int BoundedFetch::httpStatus() const
{
    return reply_ ? reply_->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() : 0;
}

void BoundedFetch::readAvailable()
{
    if (!reply_ || stoppedAs_ != Outcome::running)
        return;
    // One byte past the bound is enough to know the answer is too long.
    const qint64 room = limits_.maximumBytes - body_.size() + 1;
    const QByteArray bytes = reply_->read(std::min(reply_->bytesAvailable(), room));
    bytesRead_ += bytes.size();
    body_.append(bytes);
    if (body_.size() > limits_.maximumBytes) {
        body_.truncate(limits_.maximumBytes);
        stop(Outcome::tooLarge);
    }
}

void BoundedFetch::stop(Outcome outcome)
{
    if (stoppedAs_ != Outcome::running || outcome_ != Outcome::running || !reply_)
        return;
    stoppedAs_ = outcome;
    deadline_.stop();
    reply_->abort();
}

void BoundedFetch::replyFinished()
{
    if (outcome_ != Outcome::running)
        return;
    deadline_.stop();
    if (stoppedAs_ == Outcome::running)
        readAvailable();
    if (stoppedAs_ != Outcome::running)
        outcome_ = stoppedAs_;
    else if (reply_->error() != QNetworkReply::NoError)
        outcome_ = Outcome::failed;
    else
        outcome_ = Outcome::complete;
    Q_EMIT finished();
}

} // namespace app
