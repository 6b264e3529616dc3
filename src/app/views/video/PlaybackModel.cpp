#include "app/views/video/PlaybackModel.h"


#include <cmath>

namespace app {

PlaybackModel::PlaybackModel(VideoPlayer* player, QObject* parent) : QObject(parent), player_(player)
{
    timer_.setInterval(tickMs);
    connect(&timer_, &QTimer::timeout, this, &PlaybackModel::tick);
}

PlaybackModel::~PlaybackModel()
{
    stop();
}

void PlaybackModel::start()
{
    if (!player_)
        return;
    stop();
    // Qt 6.4 has no isPlaying(): the playback state says it.
    setPlaying(player_->playbackState() == QMediaPlayer::PlayingState);
    readDurationFromItem();
    durationConnection_ = connect(player_, &VideoPlayer::durationChanged, this, [this](qint64 ms) {
        if (ms > 0)
            setDuration(double(ms) / 1000.0);
    });
    statusConnection_ = connect(player_, &VideoPlayer::mediaStatusChanged, this, [this](QMediaPlayer::MediaStatus s) {
        if (s == QMediaPlayer::EndOfMedia)
            handleEnd();
    });
    timer_.start();
}

void PlaybackModel::stop()
{
    timer_.stop();
    disconnect(statusConnection_);
    disconnect(durationConnection_);
}

void PlaybackModel::tick()
{
    if (!player_ || isScrubbing_)
        return;
    const double seconds = double(player_->position()) / 1000.0;
    setCurrentTime(std::isfinite(seconds) ? seconds : 0);
    setPlaying(player_->playbackState() == QMediaPlayer::PlayingState);
    if (duration_ <= 0)
        readDurationFromItem();
}

void PlaybackModel::handleEnd()
{
    // Back to the start, not playing again.
    setPlaying(false);
    if (player_) {
        // Stopped first: the FFmpeg backend ignores a seek at the end of the media and replays nothing.
        player_->stop();
        player_->setPosition(0);
    }
    setCurrentTime(0);
    Q_EMIT ended();
}

void PlaybackModel::readDurationFromItem()
{
    if (player_ && player_->duration() > 0)
        setDuration(double(player_->duration()) / 1000.0);
}

void PlaybackModel::togglePlayPause()
{
    if (!player_)
        return;
    if (isPlaying_) {
        player_->pause();
        setPlaying(false);
        return;
    }
    if (duration_ > 0 && currentTime_ >= duration_) {
        player_->setPosition(0);
        setCurrentTime(0);
    }
    player_->play();
    // A player that refuses (its file failed) stays as it is.
    setPlaying(player_->playbackState() == QMediaPlayer::PlayingState);
}

void PlaybackModel::beginScrub()
{
    const bool changedScrub = !isScrubbing_ || scrubTime_ != currentTime_;
    isScrubbing_ = true;
    scrubTime_ = currentTime_;
    if (changedScrub)
        Q_EMIT changed();
}

void PlaybackModel::setScrubTime(double seconds)
{
    if (scrubTime_ == seconds)
        return;
    scrubTime_ = seconds;
    Q_EMIT changed();
}

void PlaybackModel::endScrub()
{
    if (player_)
        player_->setPosition(std::llround(std::max(scrubTime_, 0.0) * 1000));
    currentTime_ = scrubTime_;
    isScrubbing_ = false;
    Q_EMIT changed();
}

void PlaybackModel::setPlaying(bool playing)
{
    if (isPlaying_ == playing)
        return;
    isPlaying_ = playing;
    Q_EMIT changed();
}

void PlaybackModel::setCurrentTime(double seconds)
{
    if (currentTime_ == seconds)
        return;
    currentTime_ = seconds;
    Q_EMIT changed();
}

void PlaybackModel::setDuration(double seconds)
{
    if (duration_ == seconds)
        return;
    duration_ = seconds;
    Q_EMIT changed();
}

QString PlaybackModel::format(double seconds)
{
    if (!std::isfinite(seconds) || seconds < 0)
        return QStringLiteral("0:00");
    // Clamped so the conversion stays defined; far beyond any real video.
    const long long whole = std::llround(std::min(seconds, 1e12));
    return QStringLiteral("%1:%2").arg(whole / 60).arg(whole % 60, 2, 10, QChar(u'0'));
}

} // namespace app
