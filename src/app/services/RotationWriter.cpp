#include "app/services/RotationWriter.h"

#include "app/services/PhotoOrientationRotator.h"
#include "app/services/ThumbnailProvider.h"

#include <QPointer>

namespace app {

RotationWriter::RotationWriter(ThumbnailProvider* thumbnails, QObject* parent)
    : RotationWriter(
          thumbnails,
          [](const QString& path, int turns) { PhotoOrientationRotator::rotateClockwise90(path, turns); }, parent)
{
}

RotationWriter::RotationWriter(ThumbnailProvider* thumbnails, Rotate rotate, QObject* parent)
    : QObject(parent), thumbnails_(thumbnails), rotate_(std::move(rotate))
{
    pool_.setMaxThreadCount(1);
}

RotationWriter::~RotationWriter()
{
    pool_.waitForDone();
}

void RotationWriter::write(const RotationQueue::Write& write)
{
    QPointer<RotationWriter> self(this);
    pool_.start([self, thumbnails = thumbnails_, rotate = rotate_, write] {
        std::optional<QString> error;
        try {
            rotate(write.path, write.turns);
        } catch (const PhotoOrientationRotator::RotateError& e) {
            error = e.description();
        } catch (const std::exception& e) {
            error = PhotoOrientationRotator::RotateError(PhotoOrientationRotator::RotateError::Kind::writeFailed,
                                                         QString::fromLocal8Bit(e.what()))
                        .description();
        }
        if (!error && thumbnails) {
            QMetaObject::invokeMethod(
                thumbnails, [thumbnails, path = write.path] {
                    if (thumbnails)
                        thumbnails->invalidate(path);
                },
                Qt::QueuedConnection);
        }
        QMetaObject::invokeMethod(
            self,
            [self, path = write.path, error] {
                if (self)
                    Q_EMIT self->finished(path, error);
            },
            Qt::QueuedConnection);
    });
}

} // namespace app
