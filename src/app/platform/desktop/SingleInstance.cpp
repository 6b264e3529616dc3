#include "app/platform/desktop/SingleInstance.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLoggingCategory>
#include <QStandardPaths>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace app {

namespace {

Q_LOGGING_CATEGORY(lcInstance, "tessivarnholm.instance")

const QByteArray raiseRequest = "raise\n";

} // namespace

SingleInstance::SingleInstance(QString runtimeFolder, QObject* parent)
    : QObject(parent),
      // Qt's runtime location is $XDG_RUNTIME_DIR, or a folder of the user's own with mode 0700.
      folder_(runtimeFolder.isEmpty() ? QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation)
                                      : std::move(runtimeFolder))
{
    QDir().mkpath(folder_);
    const QByteArray lockPath = QFile::encodeName(folder_ + QStringLiteral("/tessivarnholm.lock"));
    const int fd = ::open(lockPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        // Without a lock the program still runs, as it did before there was one.
        qCWarning(lcInstance) << "no instance lock:" << lockPath << ::strerror(errno);
        first_ = true;
        return;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return;
    }
    lockFd_ = fd;
    first_ = true;
    // The lock is ours, so a socket file left there is a crashed program's.
    const QString socketPath = folder_ + QStringLiteral("/tessivarnholm.socket");
    QLocalServer::removeServer(socketPath);
    server_ = new QLocalServer(this);
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_->listen(socketPath)) {
        qCWarning(lcInstance) << "later starts cannot reach this one:" << server_->errorString();
        return;
    }
    connect(server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* peer = server_->nextPendingConnection()) {
            connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
            connect(peer, &QLocalSocket::readyRead, this, [this, peer] {
                // A request is a few bytes; anything longer is not a later start of this program.
                if (peer->bytesAvailable() > 64) {
                    peer->abort();
                    return;
                }
                if (!peer->canReadLine())
                    return;
                if (peer->readLine() == raiseRequest) {
                    qCInfo(lcInstance) << "a later start asked for the window";
                    Q_EMIT raiseRequested();
                }
                peer->disconnectFromServer();
            });
        }
    });
}

SingleInstance::~SingleInstance()
{
    if (lockFd_ >= 0)
        ::close(lockFd_);
}

bool SingleInstance::askFirstToRaise()
{
    const QString socketPath = folder_ + QStringLiteral("/tessivarnholm.socket");
    // The first may have taken the lock and not be listening yet.
    const QDeadlineTimer deadline(3000);
    while (!deadline.hasExpired()) {
        QLocalSocket socket;
        socket.connectToServer(socketPath);
        if (socket.waitForConnected(int(std::max<qint64>(deadline.remainingTime(), 1)))) {
            socket.write(raiseRequest);
            const bool sent = socket.waitForBytesWritten(1000);
            // The first answers by closing once it has read the request.
            socket.waitForDisconnected(1000);
            return sent;
        }
        QThread::msleep(50);
    }
    qCWarning(lcInstance) << "the running program did not answer";
    return false;
}

} // namespace app
