#include "app/services/rotation/RotationWriter.h"

#include "app/services/library/KeptScans.h"
#include "app/services/rotation/PhotoOrientationRotator.h"
#include "app/services/thumbnails/ThumbnailProvider.h"

#include "p2p/protocol/P2PLog.h"

#include <QCoreApplication>
#include <QFile>
#include <QPointer>

#include <sys/stat.h>

namespace app {

namespace {

// What the program keeps of a file's old state, forgotten on the writing thread before the write is
// reported done: a rotation keeps size and times, so where only they key the file nothing else
// would tell the kept thumbnails and scan record apart from the new state.
struct Forgetting {
    std::shared_ptr<KeptScans> kept;
    std::function<void(const QString&)> thumbnails;
};

std::optional<QString> tryWrite(const RotationWriter::Rotate& rotate, const Forgetting& forgetting,
                                const RotationQueue::Write& write)
{
    try {
        rotate(write.path, write.turns);
    } catch (const PhotoOrientationRotator::RotateError& e) {
        return e.description();
    } catch (const std::exception& e) {
        return PhotoOrientationRotator::RotateError(PhotoOrientationRotator::RotateError::Kind::writeFailed,
                                                    QString::fromLocal8Bit(e.what()))
            .description();
    }
    if (forgetting.kept)
        forgetting.kept->forgetFile(write.path);
    if (forgetting.thumbnails)
        forgetting.thumbnails(write.path);
    return std::nullopt;
}

std::optional<QString> runWrite(const RotationWriter::Rotate& rotate, const Forgetting& forgetting,
                                const RotationQueue::Write& write)
{
    std::optional<QString> error = tryWrite(rotate, forgetting, write);
    if (error)
        p2p::Logger("rotation").error(QStringLiteral("旋转未写入 %1（%2 次）：%3")
                                          .arg(write.path)
                                          .arg(write.turns)
                                          .arg(*error)
                                          .toStdString());
    return error;
}

} // namespace

RotationWriter::RotationWriter(ThumbnailProvider* thumbnails, QObject* parent)
    : RotationWriter(
          thumbnails,
          [](const QString& path, int turns) { PhotoOrientationRotator::rotateClockwise90(path, turns); }, parent,
          KeptScans::shared())
{
}

RotationWriter::RotationWriter(ThumbnailProvider* thumbnails, Rotate rotate, QObject* parent,
                               std::shared_ptr<KeptScans> keptScans)
    : QObject(parent),
      thumbnails_(thumbnails),
      rotate_(std::move(rotate)),
      keptScans_(std::move(keptScans)),
      forgetThumbnails_(thumbnails ? thumbnails->keptThumbnailsForgetter() : nullptr),
      queue_([this](const RotationQueue::Write& w) { write(w); })
{
    pool_.setMaxThreadCount(1);
    connect(this, &RotationWriter::finished, this, [this](const QString& path, const std::optional<QString>& error) {
        if (!error)
            invalidate(path);
    });
    if (QCoreApplication* application = QCoreApplication::instance())
        connect(application, &QCoreApplication::aboutToQuit, this, &RotationWriter::finishAll);
}

RotationWriter::~RotationWriter()
{
    finishAll();
}

void RotationWriter::finishAll()
{
    pool_.waitForDone();
    std::vector<RotationQueue::Write> writes = queue_.takeQueued();
    // The running write's end may not have reached the loop yet: if it failed, the turns of its
    // photo queued behind it go with it, as they do when its end is handled.
    std::optional<QString> failed;
    {
        QMutexLocker lock(&runningEnd_->mutex);
        failed = std::exchange(runningEnd_->failedPath, std::nullopt);
    }
    if (failed)
        std::erase_if(writes, [&](const RotationQueue::Write& w) { return w.path == *failed; });
    for (const RotationQueue::Write& write : writes) {
        const std::optional<QString> error = runWrite(rotate_, Forgetting{keptScans_, forgetThumbnails_}, write);
        // Told once the loop runs again: never at the quit, but after a session's save the grid
        // and any open viewer follow the file as after any write.
        QMetaObject::invokeMethod(
            this, [this, path = write.path, error] { Q_EMIT finished(path, error, queue_.isSettled(path)); },
            Qt::QueuedConnection);
    }
}

// A file with several names was patched in place: every name shown shows the turned picture.
void RotationWriter::invalidate(const QString& path)
{
    if (!thumbnails_)
        return;
    thumbnails_->invalidate(path);
    struct stat written {};
    if (::stat(QFile::encodeName(path).constData(), &written) != 0 || written.st_nlink < 2)
        return;
    for (const QString& other : thumbnails_->cachedPaths()) {
        struct stat st {};
        if (other != path && ::stat(QFile::encodeName(other).constData(), &st) == 0 && st.st_dev == written.st_dev &&
            st.st_ino == written.st_ino)
            thumbnails_->invalidate(other);
    }
}

void RotationWriter::turn(const QString& path)
{
    queue_.turnRequested(path);
}

void RotationWriter::write(const RotationQueue::Write& write)
{
    QPointer<RotationWriter> self(this);
    pool_.start([self, rotate = rotate_, forgetting = Forgetting{keptScans_, forgetThumbnails_}, write,
                    end = runningEnd_] {
        const std::optional<QString> error = runWrite(rotate, forgetting, write);
        if (error) {
            QMutexLocker lock(&end->mutex);
            end->failedPath = write.path;
        }
        QMetaObject::invokeMethod(
            self,
            [self, path = write.path, error, end] {
                if (!self)
                    return;
                {
                    QMutexLocker lock(&end->mutex);
                    end->failedPath.reset();
                }
                const bool settled = self->queue_.writeFinished(path, error.has_value());
                Q_EMIT self->finished(path, error, settled);
            },
            Qt::QueuedConnection);
    });
}

} // namespace app
