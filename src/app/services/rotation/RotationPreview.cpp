#include "app/services/rotation/RotationPreview.h"

namespace app {

void RotationPreview::setCurrentPath(const QString& path)
{
    current_ = path;
    dropBaseline();
}

void RotationPreview::turnRequested(const QImage& image, const QImage& placeholder)
{
    if (!baselineImage_) {
        baselineImage_ = image;
        baselinePlaceholder_ = placeholder;
    }
}

RotationPreview::Outcome RotationPreview::writeFinished(const QString& path, const std::optional<QString>& error,
                                                        bool settled)
{
    Outcome outcome;
    outcome.errorMessage = error;
    if (path != current_)
        return outcome;
    if (!error) {
        outcome.refreshMetadata = true;
        outcome.reloadImage = settled;
        if (settled)
            dropBaseline();
        return outcome;
    }
    // Without a baseline the picture was loaded while the turns were still queued: read the file.
    if (baselineImage_) {
        outcome.restoredImage = baselineImage_;
        outcome.restoredPlaceholder = baselinePlaceholder_;
    } else {
        outcome.reloadImage = true;
    }
    dropBaseline();
    return outcome;
}

void RotationPreview::dropBaseline()
{
    baselineImage_.reset();
    baselinePlaceholder_.reset();
}

} // namespace app
