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

#include <functional>

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
                QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + " X\r\n";
                head += "Content-Type: " + response.contentType + "\r\n";
                head += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
                for (const auto& [name, value] : response.headers)
                    head += name + ": " + value + "\r\n";
                head += "Connection: close\r\n\r\n";
                guarded->write(head + response.body);
                guarded->disconnectFromHost();
            });
        });
    }

    Handler handler_;
    QTcpServer server_;
    QList<Request> requests_;
    int open_ = 0;
    int mostOpen_ = 0;
};

} // namespace app::testing
