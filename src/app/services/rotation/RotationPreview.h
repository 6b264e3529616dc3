#pragma once

#include <QImage>
#include <QString>

#include <optional>

namespace app {

// What one viewer shows while the turns of its photo are being written: the preview turns at
// once, and the pictures from before the first unconfirmed turn are kept, so that a failed write
// can put them back. Only the photo shown has a baseline; paging starts afresh.
class RotationPreview {
public:
    // What the viewer does when a write has ended.
    struct Outcome {
        // The written photo is shown: read its metadata again, and (once its writes have caught
        // up) its full image, which the preview only approximates.
        bool refreshMetadata = false;
        bool reloadImage = false;
        // A failed write of the photo shown: the images to show again.
        std::optional<QImage> restoredImage;
        std::optional<QImage> restoredPlaceholder;
        std::optional<QString> errorMessage;
    };

    void setCurrentPath(const QString& path);
    // One more turn of the shown photo, whose images are given as they were before it.
    void turnRequested(const QImage& image, const QImage& placeholder);
    // `settled`: no further write of that file is queued or running.
    Outcome writeFinished(const QString& path, const std::optional<QString>& error, bool settled);

    bool hasBaseline() const { return baselineImage_.has_value(); }

private:
    void dropBaseline();

    QString current_;
    std::optional<QImage> baselineImage_;
    std::optional<QImage> baselinePlaceholder_;
};

} // namespace app
