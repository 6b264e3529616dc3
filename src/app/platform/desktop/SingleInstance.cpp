#include "app/platform/desktop/SingleInstance.h"

#include "app/platform/desktop/ApplicationSupport.h"

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
#include <sys/stat.h>
#include <unistd.h>

namespace app {

namespace {

Q_LOGGING_CATEGORY(lcInstance, "tessivarnholm.instance")

const QByteArray raiseRequest = "raise\n";
const QByteArray raisedReply = "ok\n";
const QString lockName = QStringLiteral("/tessivarnholm.lock");
const QString socketName = QStringLiteral("/tessivarnholm.socket");

// The lock file in `folder`, or -1 when the folder cannot hold one: the socket must be made beside
// the lock, so a folder that takes no new files holds none, and neither does a link or a folder in
// the lock's place. A lock file not our own to write is opened read-only; flock works on it.
int openLock(const QString& folder)
{
    QDir().mkpath(folder);
    const QByteArray folderPath = QFile::encodeName(folder);
    if (::access(folderPath.constData(), W_OK | X_OK) != 0) {
        qCWarning(lcInstance) << "no instance lock in" << folder << ::strerror(errno);
        return -1;
    }
    const QByteArray path = QFile::encodeName(folder + lockName);
    int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0 && (errno == EACCES || errno == EPERM))
        fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    struct stat info {};
    if (fd >= 0 && (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))) {
        ::close(fd);
        fd = -1;
    }
    if (fd < 0)
        qCWarning(lcInstance) << "no instance lock in" << folder << ::strerror(errno);
    return fd;
}

int remainingMs(const QDeadlineTimer& deadline, int atMost)
{
    return int(std::clamp<qint64>(deadline.remainingTime(), 1, atMost));
}

} // namespace

SingleInstance::SingleInstance(QString runtimeFolder, QString cacheFolder, QObject* parent) : QObject(parent)
{
    // Qt's runtime location is $XDG_RUNTIME_DIR, or a folder of the user's own with mode 0700.
    if (runtimeFolder.isEmpty())
        runtimeFolder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (cacheFolder.isEmpty())
        cacheFolder = applicationCacheFolder();
    QString folder;
    for (const QString& candidate : {runtimeFolder, cacheFolder}) {
        lockFd_ = openLock(candidate);
        if (lockFd_ >= 0) {
            folder = candidate;
            break;
        }
    }
    if (lockFd_ < 0) {
        // Without a lock the program still runs, as it did before there was one.
        qCWarning(lcInstance) << "no instance lock anywhere: this start runs without one";
        first_ = true;
        return;
    }
    // Beside the lock, where a later start, which takes the same folder, looks for it.
    socketPath_ = folder + socketName;
    if (takeLock())
        listen();
}

SingleInstance::~SingleInstance()
{
    if (server_) {
        server_->close();
        // Still ours: nobody else makes a socket there without the lock.
        QFile::remove(socketPath_);
        delete server_;
    }
    if (lockFd_ >= 0)
        ::close(lockFd_);
}

bool SingleInstance::takeLock()
{
    first_ = ::flock(lockFd_, LOCK_EX | LOCK_NB) == 0;
    return first_;
}

void SingleInstance::listen()
{
    // The lock is ours, so a socket file left there is a crashed program's.
    QLocalServer::removeServer(socketPath_);
    server_ = new QLocalServer(this);
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_->listen(socketPath_)) {
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
                    peer->write(raisedReply);
                    Q_EMIT raiseRequested();
                }
                peer->disconnectFromServer();
            });
        }
    });
}

SingleInstance::Answer SingleInstance::askFirstToRaise(std::chrono::milliseconds wait)
{
    const QDeadlineTimer deadline(wait);
    QLocalSocket socket;
    QByteArray reply;
    for (;;) {
        // The first may be gone (or quitting, its socket already closed): then this start runs.
        if (takeLock()) {
            qCInfo(lcInstance) << "the running program ended: this start runs";
            listen();
            return Answer::firstEnded;
        }
        // It may also have taken the lock and not be listening yet.
        if (socket.state() != QLocalSocket::ConnectedState) {
            reply.clear();
            socket.abort();
            socket.connectToServer(socketPath_);
            if (socket.waitForConnected(remainingMs(deadline, 200)))
                socket.write(raiseRequest);
            else
                QThread::msleep(50);
        }
        // Only the answer counts: a connection the first closes unread means it is going away.
        if (socket.state() == QLocalSocket::ConnectedState && socket.waitForReadyRead(remainingMs(deadline, 200))) {
            reply += socket.readAll();
            if (reply == raisedReply)
                return Answer::raised;
        }
        if (deadline.hasExpired()) {
            qCWarning(lcInstance).noquote() << notAnsweringText;
            return Answer::noAnswer;
        }
    }
}

} // namespace app
