#include "app/platform/map/BoundedFetch.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <mutex>

#ifndef TESS_VERSION
#define TESS_VERSION "0"
#endif

namespace app {

namespace {

// Who to write to about this client's traffic, as tile servers' usage rules ask.
constexpr const char* contact = "tessivarnholm@users.noreply.github.com";
constexpr int maximumRedirects = 5;

QThread* runningNetworkThread = nullptr;

void stopNetworkThread()
{
    if (runningNetworkThread) {
        runningNetworkThread->quit();
        runningNetworkThread->wait();
    }
}

QThread& networkThread()
{
    static QThread* thread = [] {
        auto* made = new QThread;
        made->setObjectName("network");
        made->start();
        runningNetworkThread = made;
        // Ended with the application object, before the process tears down Qt's globals.
        qAddPostRoutine(stopNetworkThread);
        return made;
    }();
    return *thread;
}

} // namespace

QByteArray applicationUserAgent()
{
    return QByteArray("Tessivarnholm/") + TESS_VERSION + " (Linux photo application; contact: " + contact + ")";
}

class NetworkClient::Host final : public QObject {
public:
    explicit Host(CacheFactory makeCache) : makeCache_(std::move(makeCache)) {}

    QNetworkAccessManager& manager()
    {
        if (!manager_) {
            manager_ = new QNetworkAccessManager(this);
            if (makeCache_) {
                cache_ = makeCache_();
                manager_->setCache(cache_);
            }
        }
        return *manager_;
    }
    QAbstractNetworkCache* cache() { return manager(), cache_; }

private:
    CacheFactory makeCache_;
    QNetworkAccessManager* manager_ = nullptr;
    QAbstractNetworkCache* cache_ = nullptr;
};

NetworkClient::NetworkClient(CacheFactory makeCache) : host_(new Host(std::move(makeCache)))
{
    host_->moveToThread(&networkThread());
}

NetworkClient::~NetworkClient()
{
    Host* host = host_;
    QMetaObject::invokeMethod(host, [host] { delete host; }, Qt::BlockingQueuedConnection);
}

void NetworkClient::run(std::function<void(QNetworkAccessManager&, QAbstractNetworkCache*)> work)
{
    Host* host = host_;
    QMetaObject::invokeMethod(
        host, [host, work = std::move(work)] { work(host->manager(), host->cache()); }, Qt::QueuedConnection);
}

// What the fetch on the main thread and its transfer on the network thread share. Either side
// posts to the other only under the lock and while the other is there.
struct BoundedFetch::Link {
    std::mutex lock;
    BoundedFetch* owner = nullptr;
    Transfer* transfer = nullptr;
    bool cancelled = false;
};

// The reading itself, on the network thread.
class BoundedFetch::Transfer final : public QObject {
public:
    Transfer(QNetworkAccessManager& network, const QNetworkRequest& request, Limits limits, std::shared_ptr<Link> link)
        : QObject(&network), limits_(limits), link_(std::move(link))
    {
        {
            const std::lock_guard<std::mutex> guard(link_->lock);
            link_->transfer = this;
            if (link_->cancelled || !link_->owner) {
                answer_.outcome = Outcome::cancelled;
                QTimer::singleShot(0, this, [this] { finish(); });
                return;
            }
        }
        // Qt's own idle time-out is replaced by the deadline on the whole exchange.
        QNetworkRequest bounded = request;
        bounded.setTransferTimeout(0);
        reply_ = network.get(bounded);
        // Qt hands over all it holds, up to one byte past the bound, at once: each round trip
        // between Qt's reading thread and this one lets more pile up in its socket.
        reply_->setReadBufferSize(limits_.maximumBytes + 1);
        connect(reply_, &QNetworkReply::metaDataChanged, this, [this] {
            // A declared length past the bound is refused before its first byte.
            bool ok = false;
            const qint64 declared = reply_->header(QNetworkRequest::ContentLengthHeader).toLongLong(&ok);
            if (ok && declared > limits_.maximumBytes)
                stop(Outcome::tooLarge);
        });
        connect(reply_, &QNetworkReply::readyRead, this, &Transfer::readAvailable);
        connect(reply_, &QNetworkReply::finished, this, &Transfer::replyFinished);
        if (limits_.totalTimeoutMs > 0)
            QTimer::singleShot(limits_.totalTimeoutMs, this, [this] { stop(Outcome::timedOut); });
    }

    ~Transfer() override
    {
        {
            const std::lock_guard<std::mutex> guard(link_->lock);
            link_->transfer = nullptr;
        }
        if (reply_) {
            reply_->disconnect(this);
            reply_->abort();
            reply_->deleteLater();
        }
    }

    void stop(Outcome outcome)
    {
        if (stoppedAs_ != Outcome::running || answer_.outcome != Outcome::running)
            return;
        stoppedAs_ = outcome;
        if (reply_)
            reply_->abort();
    }

private:
    void readAvailable()
    {
        if (!reply_ || stoppedAs_ != Outcome::running)
            return;
        // One byte past the bound is enough to know the answer is too long.
        const qint64 room = limits_.maximumBytes - answer_.body.size() + 1;
        const QByteArray bytes = reply_->read(std::min(reply_->bytesAvailable(), room));
        answer_.bytesRead += bytes.size();
        answer_.body.append(bytes);
        if (answer_.body.size() > limits_.maximumBytes) {
            answer_.body.truncate(limits_.maximumBytes);
            stop(Outcome::tooLarge);
        }
    }

    void replyFinished()
    {
        if (answer_.outcome != Outcome::running)
            return;
        if (stoppedAs_ == Outcome::running)
            readAvailable();
        if (stoppedAs_ != Outcome::running)
            answer_.outcome = stoppedAs_;
        else if (reply_->error() != QNetworkReply::NoError)
            answer_.outcome = Outcome::failed;
        else
            answer_.outcome = Outcome::complete;
        answer_.httpStatus = reply_->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        answer_.reasonPhrase = reply_->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toByteArray();
        answer_.headers = reply_->rawHeaderPairs();
        answer_.lastModified = reply_->header(QNetworkRequest::LastModifiedHeader).toDateTime();
        answer_.fromCache = reply_->attribute(QNetworkRequest::SourceIsFromCacheAttribute).toBool();
        finish();
    }

    void finish()
    {
        if (answer_.outcome == Outcome::running)
            answer_.outcome = Outcome::cancelled;
        {
            const std::lock_guard<std::mutex> guard(link_->lock);
            if (BoundedFetch* owner = link_->owner)
                QMetaObject::invokeMethod(
                    owner, [owner, answer = answer_] { owner->deliver(answer); }, Qt::QueuedConnection);
        }
        deleteLater();
    }

    Limits limits_;
    std::shared_ptr<Link> link_;
    QPointer<QNetworkReply> reply_;
    Answer answer_;
    Outcome stoppedAs_ = Outcome::running;
};

QNetworkRequest BoundedFetch::request(const QUrl& url)
{
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::UserAgentHeader, applicationUserAgent());
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::SameOriginRedirectPolicy);
    request.setMaximumRedirectsAllowed(maximumRedirects);
    return request;
}

BoundedFetch::BoundedFetch(NetworkClient& client, const QNetworkRequest& request, Limits limits, QObject* parent)
    : QObject(parent), link_(std::make_shared<Link>())
{
    link_->owner = this;
    client.run([link = link_, request, limits](QNetworkAccessManager& network, QAbstractNetworkCache*) {
        new Transfer(network, request, limits, link);
    });
}

BoundedFetch::~BoundedFetch()
{
    const std::lock_guard<std::mutex> guard(link_->lock);
    link_->owner = nullptr;
    link_->cancelled = true;
    if (Transfer* transfer = link_->transfer)
        QMetaObject::invokeMethod(transfer, [transfer] { transfer->stop(Outcome::cancelled); }, Qt::QueuedConnection);
}

void BoundedFetch::cancel()
{
    const std::lock_guard<std::mutex> guard(link_->lock);
    link_->cancelled = true;
    if (Transfer* transfer = link_->transfer)
        QMetaObject::invokeMethod(transfer, [transfer] { transfer->stop(Outcome::cancelled); }, Qt::QueuedConnection);
}

void BoundedFetch::deliver(const Answer& answer)
{
    if (answer_.outcome != Outcome::running)
        return;
    answer_ = answer;
    Q_EMIT finished();
}

} // namespace app
