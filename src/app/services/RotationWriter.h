#pragma once

#include "app/services/RotationQueue.h"

#include <QObject>
#include <QPointer>
#include <QThreadPool>

#include <functional>

namespace app {

class ThumbnailProvider;

// Runs the rotation queue's writes on a thread of their own, one at a time, and reports each end
// on the main thread. A written file's thumbnails are invalidated even when the writer is gone by
// then, so the grid never keeps showing the old orientation.
class RotationWriter : public QObject {
    Q_OBJECT

public:
    // Turns a file; throws PhotoOrientationRotator::RotateError. Tests pass their own.
    using Rotate = std::function<void(const QString& path, int turns)>;

    explicit RotationWriter(ThumbnailProvider* thumbnails, QObject* parent = nullptr);
    RotationWriter(ThumbnailProvider* thumbnails, Rotate rotate, QObject* parent = nullptr);
    // Waits for a running write: a photo is never left half replaced.
    ~RotationWriter() override;

    void write(const RotationQueue::Write& write);

Q_SIGNALS:
    // `error` is the text for the user when the write failed.
    void finished(const QString& path, const std::optional<QString>& error);

private:
    QPointer<ThumbnailProvider> thumbnails_;
    Rotate rotate_;
    QThreadPool pool_;
};

} // namespace app
