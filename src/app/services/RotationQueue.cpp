#include "app/services/RotationQueue.h"

#include "app/services/PhotoOrientationRotator.h"

namespace app {

RotationQueue::RotationQueue(std::function<void(const Write&)> startWrite) : startWrite_(std::move(startWrite)) {}

std::optional<QString> RotationQueue::refusal(const MediaItem& item)
{
    if (item.isLivePhoto)
        return QStringLiteral("实况照片暂不支持旋转。");
    if (!PhotoOrientationRotator::supportedExtensions().contains(MediaFormat::pathExtension(item.url)))
        return PhotoOrientationRotator::RotateError(PhotoOrientationRotator::RotateError::Kind::unsupported).description();
    return std::nullopt;
}

void RotationQueue::setCurrentPath(const QString& path)
{
    current_ = path;
    pending_ = 0;
    baselineImage_.reset();
    baselinePlaceholder_.reset();
}

void RotationQueue::turnRequested(const QImage& image, const QImage& placeholder)
{
    if (!baselineImage_) {
        baselineImage_ = image;
        baselinePlaceholder_ = placeholder;
    }
    ++pending_;
    flush();
}

void RotationQueue::flush()
{
    if (writing_ || pending_ < 1)
        return;
    writing_ = true;
    const Write write{current_, pending_};
    pending_ = 0;
    startWrite_(write);
}

RotationQueue::Outcome RotationQueue::writeFinished(const QString& path, const std::optional<QString>& error)
{
    Outcome outcome;
    const bool shown = path == current_;
    if (!error) {
        outcome.succeeded = true;
        outcome.refreshMetadata = shown;
        outcome.reloadImage = shown && pending_ == 0;
        if (pending_ == 0) {
            baselineImage_.reset();
            baselinePlaceholder_.reset();
        }
    } else {
        outcome.errorMessage = *error;
        // Another photo's turns and preview are not this write's to drop.
        if (shown) {
            outcome.restoredImage = baselineImage_;
            outcome.restoredPlaceholder = baselinePlaceholder_;
            pending_ = 0;
            baselineImage_.reset();
            baselinePlaceholder_.reset();
        }
    }
    writing_ = false;
    flush();
    return outcome;
}

} // namespace app
