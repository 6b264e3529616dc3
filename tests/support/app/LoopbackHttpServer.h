#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QPointer>
#include <QString>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <functional>
#include <memory>

namespace app::testing {

// A small HTTP/1.1 server on 127.0.0.1 for tests: records every request's path and query, answers
// each through a handler (optionally after a delay), one request per connection.
class LoopbackHttpServer {
public:
    struct Response {
        int status = 200;
        QByteArray body;
        QByteArray contentType = "application/octet-stream";
        QList<QPair<QByteArray, QByteArray>> headers;
        int delayMs = 0;
        // Hostile answers: `body` followed by `fillerBytes` more bytes written as the client reads
        // them (-1: chunked, without end), or one byte every `trickleMs`.
        qint64 fillerBytes = 0;
        int trickleMs = 0;
    };
    struct Request {
        QString path;
        QString query;
        QByteArray userAgent;
    };
    using Handler = std::function<Response(const Request&)>;

    explicit LoopbackHttpServer(Handler handler) : handler_(std::move(handler))
    {
        server_.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server_, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* socket = server_.nextPendingConnection())
                serve(socket);
        });
    }

    QString baseUrl() const { return QString("http://127.0.0.1:%1").arg(server_.serverPort()); }
    const QList<Request>& requests() const { return requests_; }
    int countOf(const QString& path) const
    {
        int n = 0;
        for (const Request& r : requests_)
            n += r.path == path;
        return n;
    }
    // The most requests received and not yet answered at one moment.
    int mostOpenAtOnce() const { return mostOpen_; }
    // Body bytes handed to sockets, and answers whose client hung up before their end.
    qint64 bodyBytesSent() const { return bodyBytesSent_; }
    int answersCutShort() const { return cutShort_; }

private:
    void serve(QTcpSocket* socket)
    {
        auto* buffer = new QByteArray;
        QObject::connect(socket, &QTcpSocket::disconnected, socket, [socket, buffer] {
            delete buffer;
            socket->deleteLater();
        });
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, buffer] {
            buffer->append(socket->readAll());
            const qsizetype end = buffer->indexOf("\r\n\r\n");
            if (end < 0 || buffer->isEmpty())
                return;
            const QList<QByteArray> lines = buffer->left(end).split('\n');
            buffer->clear();
            const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
            const QUrl target(QString::fromUtf8(first.value(1)));
            Request request{target.path(), target.query(QUrl::FullyEncoded), {}};
            for (const QByteArray& line : lines)
                if (line.toLower().startsWith("user-agent:"))
                    request.userAgent = line.mid(11).trimmed();
            requests_.append(request);
            ++open_;
            mostOpen_ = std::max(mostOpen_, open_);
            const Response response = handler_(request);
            QPointer<QTcpSocket> guarded(socket);
            QTimer::singleShot(response.delayMs, &server_, [this, guarded, response] {
                --open_;
                if (!guarded)
                    return;
                const bool chunked = response.fillerBytes < 0;
                QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + " X\r\n";
                head += "Content-Type: " + response.contentType + "\r\n";
                if (chunked)
                    head += "Transfer-Encoding: chunked\r\n";
                else
                    head += "Content-Length: " + QByteArray::number(response.body.size() + response.fillerBytes) + "\r\n";
                for (const auto& [name, value] : response.headers)
                    head += name + ": " + value + "\r\n";
                head += "Connection: close\r\n\r\n";
                guarded->write(head);
                stream(guarded, response);
            });
        });
    }

    // Writes the body as the socket drains, so an endless answer costs the server nothing.
    void stream(QTcpSocket* socket, const Response& response)
    {
        struct State {
            QByteArray body;
            qint64 filler;
            qint64 sent = 0;
            bool chunked;
        };
        auto state = std::make_shared<State>(State{response.body, response.fillerBytes, 0, response.fillerBytes < 0});
        const auto done = [state] { return !state->chunked && state->sent >= state->body.size() + state->filler; };
        const auto piece = [this, state](qint64 most) {
            QByteArray bytes = state->body.mid(state->sent, most);
            if (bytes.size() < most && (state->chunked || state->sent + bytes.size() < state->body.size() + state->filler)) {
                qint64 more = most - bytes.size();
                if (!state->chunked)
                    more = std::min(more, state->body.size() + state->filler - state->sent - bytes.size());
                bytes.append(QByteArray(more, ' '));
            }
            state->sent += bytes.size();
            bodyBytesSent_ += bytes.size();
            if (state->chunked)
                return QByteArray::number(bytes.size(), 16) + "\r\n" + bytes + "\r\n";
            return bytes;
        };
        QPointer<QTcpSocket> guarded(socket);
        QObject::connect(socket, &QTcpSocket::disconnected, &server_, [this, state, done] {
            if (!done())
                ++cutShort_;
        });
        if (response.trickleMs > 0) {
            auto* timer = new QTimer(socket);
            QObject::connect(timer, &QTimer::timeout, socket, [guarded, piece, done, timer] {
                if (!guarded)
                    return;
                guarded->write(piece(1));
                if (done()) {
                    timer->stop();
                    guarded->disconnectFromHost();
                }
            });
            timer->start(response.trickleMs);
            return;
        }
        const auto pump = [guarded, piece, done] {
            if (!guarded || guarded->state() != QAbstractSocket::ConnectedState)
                return;
            while (!done() && guarded->bytesToWrite() < 256 * 1024)
                guarded->write(piece(64 * 1024));
            if (done() && guarded->bytesToWrite() == 0)
                guarded->disconnectFromHost();
        };
        QObject::connect(socket, &QTcpSocket::bytesWritten, socket, pump);
        pump();
    }

    Handler handler_;
    QTcpServer server_;
    QList<Request> requests_;
    int open_ = 0;
    int mostOpen_ = 0;
    qint64 bodyBytesSent_ = 0;
    int cutShort_ = 0;
};

} // namespace app::testing
