#include "app/services/rotation/RotationQueue.h"

#include "app/services/rotation/PhotoOrientationRotator.h"

#include <algorithm>

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

void RotationQueue::turnRequested(const QString& path)
{
    const auto queued = std::find_if(queued_.begin(), queued_.end(), [&](const Write& w) { return w.path == path; });
    if (queued != queued_.end())
        ++queued->turns;
    else
        queued_.push_back({path, 1});
    flush();
}

void RotationQueue::flush()
{
    if (running_ || queued_.empty())
        return;
    const Write write = queued_.front();
    queued_.erase(queued_.begin());
    running_ = write.path;
    startWrite_(write);
}

bool RotationQueue::writeFinished(const QString& path, bool failed)
{
    running_.reset();
    if (failed)
        std::erase_if(queued_, [&](const Write& w) { return w.path == path; });
    flush();
    return isSettled(path);
}

int RotationQueue::pendingTurns(const QString& path) const
{
    for (const Write& w : queued_)
        if (w.path == path)
            return w.turns;
    return 0;
}

bool RotationQueue::isSettled(const QString& path) const
{
    return running_ != path && pendingTurns(path) == 0;
}

std::vector<RotationQueue::Write> RotationQueue::takeQueued()
{
    return std::exchange(queued_, {});
}

} // namespace app
