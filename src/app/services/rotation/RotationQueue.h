#pragma once

#include "app/models/MediaItem.h"

#include <QString>

#include <functional>
#include <optional>
#include <vector>

namespace app {

// The program's rotation writes: one at a time, photos in the order they were turned. Turns of a
// photo asked for while an earlier write runs go to its file together in one later write. The
// queue belongs to the program, not to a viewer, so turns the user saw reach the file even when
// the viewer pages away or closes. Only a failed write drops turns: those of its own photo asked
// for meanwhile; other photos' turns are written as asked.
class RotationQueue {
public:
    struct Write {
        QString path;
        int turns = 0;
    };

    // `startWrite` hands a write to the background; its end comes back through writeFinished().
    explicit RotationQueue(std::function<void(const Write&)> startWrite);

    // Why a photo cannot be turned (live photo, format), or nothing when it can.
    static std::optional<QString> refusal(const MediaItem& item);

    // One more clockwise turn of the file at `path`.
    void turnRequested(const QString& path);

    // The running write ended. True when nothing more is queued or running for its file.
    bool writeFinished(const QString& path, bool failed);

    // Turns of the file not yet handed to a write.
    int pendingTurns(const QString& path) const;
    bool isWriting() const { return running_.has_value(); }
    // No write of the file is queued or running.
    bool isSettled(const QString& path) const;
    // The writes not started yet, taken out of the queue (the program is ending).
    std::vector<Write> takeQueued();

private:
    void flush();

    std::function<void(const Write&)> startWrite_;
    std::optional<QString> running_;
    std::vector<Write> queued_;
};

} // namespace app
