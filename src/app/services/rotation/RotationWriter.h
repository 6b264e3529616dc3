#pragma once

#include "app/services/rotation/RotationQueue.h"

#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QThreadPool>

#include <functional>
#include <memory>
#include <optional>

namespace app {

class KeptScans;
class ThumbnailProvider;

// The program's one rotation writer: runs the rotation queue's writes on a thread of their own,
// one at a time, and reports each end on the main thread. It lives as long as the program, so a
// viewer that pages or closes leaves its turns to it. A written file's kept thumbnails and
// kept-scan record are forgotten by the write itself, whichever way it runs (a rotation keeps the
// file's size and times, so no stamp would show the change); its thumbnails in memory are then
// invalidated on the main thread, so the grid and any open viewer follow the file.
class RotationWriter : public QObject {
    Q_OBJECT

public:
    // Turns a file; throws PhotoOrientationRotator::RotateError. Tests pass their own. Every failed
    // write is logged, so one at quit, with no window left to tell, leaves its trace.
    using Rotate = std::function<void(const QString& path, int turns)>;

    // With the program's kept scans.
    explicit RotationWriter(ThumbnailProvider* thumbnails, QObject* parent = nullptr);
    // `keptScans` may be null: nothing kept to forget.
    RotationWriter(ThumbnailProvider* thumbnails, Rotate rotate, QObject* parent = nullptr,
                   std::shared_ptr<KeptScans> keptScans = nullptr);
    // Finishes every write, as finishAll() does.
    ~RotationWriter() override;

    // Waits for the running write and then writes what is still queued, on the calling thread: a
    // photo is never left half replaced, and no turn the user saw is lost when the program ends.
    // Runs by itself when the application quits, before its windows go. The ends of the writes it
    // ran are reported when the event loop runs again.
    void finishAll();

    // One more clockwise turn of the file at `path`.
    void turn(const QString& path);
    const RotationQueue& queue() const { return queue_; }

Q_SIGNALS:
    // `error` is the text for the user when the write failed; `settled` when no further write of
    // the file is queued or running.
    void finished(const QString& path, const std::optional<QString>& error, bool settled);

private:
    void write(const RotationQueue::Write& write);
    void invalidate(const QString& path);

    // The photo whose write on the pool failed, until its end is handled on the main thread.
    struct RunningEnd {
        QMutex mutex;
        std::optional<QString> failedPath;
    };

    QPointer<ThumbnailProvider> thumbnails_;
    Rotate rotate_;
    std::shared_ptr<KeptScans> keptScans_;
    std::function<void(const QString&)> forgetThumbnails_;
    RotationQueue queue_;
    std::shared_ptr<RunningEnd> runningEnd_ = std::make_shared<RunningEnd>();
    QThreadPool pool_;
};

} // namespace app
