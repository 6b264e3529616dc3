#pragma once

#include "app/platform/playback/VideoPlayer.h"

#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QTimer>


namespace app {

// What the video controls show of one player: playing or not, the position, the duration and a
// scrub in progress. Follows the player with its own 250 ms timer and its end-of-media status;
// every property reports a change only when its value really changes. Never creates, pauses on
// its own or releases the player.
class PlaybackModel : public QObject {
    Q_OBJECT
public:
    explicit PlaybackModel(VideoPlayer* player, QObject* parent = nullptr);
    ~PlaybackModel() override;

    VideoPlayer* player() const { return player_; }
    bool isPlaying() const { return isPlaying_; }
    double currentTime() const { return currentTime_; }
    double duration() const { return duration_; }
    bool isScrubbing() const { return isScrubbing_; }
    double scrubTime() const { return scrubTime_; }
    double displayTime() const { return isScrubbing_ ? scrubTime_ : currentTime_; }

    // Starts following the player; stop() ends that. Both may be called again.
    void start();
    void stop();
    bool isStarted() const { return timer_.isActive(); }
    void togglePlayPause();
    void beginScrub();
    void setScrubTime(double seconds);
    void endScrub();
    // One periodic observation; the timer calls it every 250 ms.
    void tick();

    // "m:ss", minutes unbounded; anything not finite or negative reads "0:00".
    static QString format(double seconds);

    static constexpr int tickMs = 250;

Q_SIGNALS:
    void changed();
    // The item played to its end and the player went back to the start.
    void ended();

private:
    void setPlaying(bool playing);
    void setCurrentTime(double seconds);
    void setDuration(double seconds);
    void readDurationFromItem();
    void handleEnd();

    QPointer<VideoPlayer> player_;
    QTimer timer_;
    QMetaObject::Connection statusConnection_;
    QMetaObject::Connection durationConnection_;
    bool isPlaying_ = false;
    double currentTime_ = 0;
    double duration_ = 0;
    bool isScrubbing_ = false;
    double scrubTime_ = 0;
};

} // namespace app
