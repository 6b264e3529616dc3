#pragma once

#include "app/platform/playback/PlaybackEngine.h"

#include <QImage>
#include <QMediaPlayer>
#include <QMutex>
#include <QObject>
#include <QSize>
#include <QUrl>

#include <memory>

namespace app {

// One video at a time, with the controls and states of Qt's media player (whose enums it keeps),
// played by our own engine: it keeps to the clock on a machine slower than the clip by skipping
// pictures rather than slowing down, and hands over pictures already converted for the size they
// are shown at. The main thread only.
class VideoPlayer : public QObject {
    Q_OBJECT
public:
    explicit VideoPlayer(QObject* parent = nullptr);
    ~VideoPlayer() override;

    // Sound goes to the system's default output; a null device, or none in the system, plays silently.
    void setAudioDevice(const QAudioDevice& device);
    void setSource(const QUrl& url);
    QUrl source() const { return source_; }

    void play();
    void pause();
    // Stops and goes back to the start.
    void stop();
    void setPosition(qint64 ms);
    qint64 position() const;
    qint64 duration() const { return durationMs_; }
    bool hasAudio() const { return hasAudio_; }
    QMediaPlayer::PlaybackState playbackState() const { return state_; }
    QMediaPlayer::MediaStatus mediaStatus() const { return status_; }
    QMediaPlayer::Error error() const { return error_; }
    QString errorString() const { return errorString_; }

    // The box pictures are made to fit, in device pixels.
    void setTargetSize(QSize size);
    QImage currentFrame() const { return frame_; }
    // Pictures handed over so far, counted from 1.
    quint64 frameNumber() const { return frameNumber_; }
    PlaybackEngine::Stats stats() const;

    // Players let their engines end on threads of their own, and nothing of the window's thread
    // waits for them; this does, up to `ms`, as the program ends. False when some are still ending.
    static bool waitForRetired(int ms);

Q_SIGNALS:
    void playbackStateChanged(QMediaPlayer::PlaybackState state);
    void mediaStatusChanged(QMediaPlayer::MediaStatus status);
    void durationChanged(qint64 ms);
    void positionChanged(qint64 ms);
    void errorOccurred(QMediaPlayer::Error error, const QString& text);
    // currentFrame() holds a new picture.
    void frameChanged();

private:
    struct Slot;
    void setState(QMediaPlayer::PlaybackState state);
    void setStatus(QMediaPlayer::MediaStatus status);
    void takeFrame();
    // Lets go of the engine without waiting for it.
    void retire();
    template <typename Call>
    static void post(const std::shared_ptr<Slot>& slot, Call call);

    QAudioDevice device_;
    bool deviceChosen_ = false;
    QUrl source_;
    std::shared_ptr<Slot> slot_;
    std::unique_ptr<PlaybackEngine> engine_;
    quint64 serial_ = 0;
    QSize target_;
    QImage frame_;
    quint64 frameNumber_ = 0;
    qint64 durationMs_ = 0;
    bool hasAudio_ = false;
    QMediaPlayer::PlaybackState state_ = QMediaPlayer::StoppedState;
    QMediaPlayer::MediaStatus status_ = QMediaPlayer::NoMedia;
    QMediaPlayer::Error error_ = QMediaPlayer::NoError;
    QString errorString_;
};

} // namespace app
