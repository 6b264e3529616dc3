#pragma once

#include "app/models/MediaItem.h"

#include <QImage>
#include <QString>

#include <functional>
#include <optional>

namespace app {

// The viewer's clockwise turns. The preview turns at once; the file is written in the background,
// one write at a time, and turns asked for while a write runs go to the file together in the next
// one. A failed write puts the preview back, but only for its own photo: the turns and the
// preview of a photo paged to meanwhile are kept and written next.
class RotationQueue {
public:
    struct Write {
        QString path;
        int turns = 0;
    };

    // What the viewer does when a write has ended.
    struct Outcome {
        bool succeeded = false;
        // The written photo is still shown: read its metadata again, and (with no further turns
        // pending) its full image, which the preview only approximates.
        bool refreshMetadata = false;
        bool reloadImage = false;
        // A failed write of the photo shown: the images to show again.
        std::optional<QImage> restoredImage;
        std::optional<QImage> restoredPlaceholder;
        std::optional<QString> errorMessage;
    };

    // `startWrite` hands a write to the background; its end comes back through writeFinished().
    explicit RotationQueue(std::function<void(const Write&)> startWrite);

    // Why a photo cannot be turned (live photo, format), or nothing when it can.
    static std::optional<QString> refusal(const MediaItem& item);

    // Another photo is shown: its turns start from nothing. A running write goes on.
    void setCurrentPath(const QString& path);

    // One more turn of the shown photo, whose images are given as they were before it.
    void turnRequested(const QImage& image, const QImage& placeholder);

    Outcome writeFinished(const QString& path, const std::optional<QString>& error);

    int pendingTurns() const { return pending_; }
    bool isWriting() const { return writing_; }
    bool hasBaseline() const { return baselineImage_.has_value(); }

private:
    void flush();

    std::function<void(const Write&)> startWrite_;
    QString current_;
    int pending_ = 0;
    bool writing_ = false;
    std::optional<QImage> baselineImage_;
    std::optional<QImage> baselinePlaceholder_;
};

} // namespace app
