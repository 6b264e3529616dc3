#include "app/platform/playback/VideoPlayer.h"

#include <QMetaObject>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace app {

namespace {

// Engines being taken down off the window's thread.
struct Retiring {
    std::mutex mutex;
    std::condition_variable done;
    int count = 0;
};

Retiring& retiring()
{
    static Retiring* r = new Retiring; // outlives whatever still retires as the program ends
    return *r;
}

} // namespace

// The newest picture from the engine, waiting for the main thread; one hand-over queued at most.
// Also what the engine's events reach the player through: an engine outlives its player while it
// ends, and posts nothing once `owner` is cleared.
struct VideoPlayer::Slot {
    QMutex mutex;
    VideoPlayer* owner = nullptr;
    QImage image;
    double time = 0;
    quint64 serial = 0;
    bool filled = false;
    bool posted = false;
};

VideoPlayer::VideoPlayer(QObject* parent) : QObject(parent) {}

VideoPlayer::~VideoPlayer()
{
    retire();
}

template <typename Call>
void VideoPlayer::post(const std::shared_ptr<Slot>& slot, Call call)
{
    QMutexLocker lock(&slot->mutex);
    if (slot->owner)
        QMetaObject::invokeMethod(slot->owner, std::move(call));
}

void VideoPlayer::retire()
{
    if (slot_) {
        QMutexLocker lock(&slot_->mutex);
        slot_->owner = nullptr;
    }
    // Whatever the engine left queued names a slot that is no longer ours.
    slot_.reset();
    if (!engine_)
        return;
    // Its threads may be held by a sound server that stopped answering or a file that does not
    // answer: they end on a thread of their own, which owns the engine from now on.
    {
        std::lock_guard lock(retiring().mutex);
        ++retiring().count;
    }
    std::thread([engine = std::move(engine_)]() mutable {
        engine.reset();
        Retiring& r = retiring();
        std::lock_guard lock(r.mutex);
        --r.count;
        r.done.notify_all();
    }).detach();
}

bool VideoPlayer::waitForRetired(int ms)
{
    Retiring& r = retiring();
    std::unique_lock lock(r.mutex);
    return r.done.wait_for(lock, std::chrono::milliseconds(ms), [&] { return r.count == 0; });
}

void VideoPlayer::setAudioDevice(const QAudioDevice& device)
{
    device_ = device;
    deviceChosen_ = true;
}

void VideoPlayer::setSource(const QUrl& url)
{
    retire();
    source_ = url;
    frame_ = QImage();
    durationMs_ = 0;
    hasAudio_ = false;
    error_ = QMediaPlayer::NoError;
    errorString_.clear();
    setState(QMediaPlayer::StoppedState);
    if (url.isEmpty()) {
        setStatus(QMediaPlayer::NoMedia);
        return;
    }
    setStatus(QMediaPlayer::LoadingMedia);
    auto slot = std::make_shared<Slot>();
    slot->owner = this;
    slot_ = slot;
    serial_ = 1;
    // Every event names its slot: one from a source replaced since is dropped.
    auto mine = [this, slot] { return slot_ == slot; };
    PlaybackEngine::Events events;
    events.loaded = [this, slot, mine](double seconds, bool sound) {
        post(slot, [this, mine, seconds, sound] {
            if (!mine())
                return;
            hasAudio_ = sound;
            durationMs_ = std::llround(seconds * 1000);
            Q_EMIT durationChanged(durationMs_);
            if (status_ == QMediaPlayer::LoadingMedia)
                setStatus(QMediaPlayer::LoadedMedia);
        });
    };
    events.failed = [this, slot, mine](const QString& reason) {
        post(slot, [this, mine, reason] {
            if (!mine())
                return;
            error_ = QMediaPlayer::FormatError;
            errorString_ = reason;
            // Nothing more plays, the sound included, until another source.
            engine_->setRunning(false);
            setState(QMediaPlayer::StoppedState);
            setStatus(QMediaPlayer::InvalidMedia);
            Q_EMIT errorOccurred(error_, errorString_);
        });
    };
    events.frame = [this, slot](const QImage& image, double time, quint64 serial) {
        QMutexLocker lock(&slot->mutex);
        slot->image = image;
        slot->time = time;
        slot->serial = serial;
        slot->filled = true;
        if (std::exchange(slot->posted, true) || !slot->owner)
            return;
        QMetaObject::invokeMethod(slot->owner, [this, slot] {
            if (slot_ == slot)
                takeFrame();
        });
    };
    events.frameTaken = [slot] {
        QMutexLocker lock(&slot->mutex);
        return !slot->filled;
    };
    events.ended = [this, slot, mine](quint64 serial) {
        post(slot, [this, mine, serial] {
            if (!mine())
                return;
            if (serial != serial_) {
                // A seek overtook the end: the engine stopped at the end all the same, and pictures
                // move again only if playing goes on from where the seek went.
                if (state_ == QMediaPlayer::PlayingState)
                    serial_ = engine_->setRunning(true);
                return;
            }
            // A picture handed over before the end is shown before it.
            takeFrame();
            setState(QMediaPlayer::StoppedState);
            setStatus(QMediaPlayer::EndOfMedia);
        });
    };
    // The default device is asked for by the engine's sound thread: a sound server that stopped
    // answering holds that question.
    engine_ = std::make_unique<PlaybackEngine>(url.toLocalFile(),
                                               deviceChosen_ ? std::optional(device_) : std::nullopt, std::move(events));
    engine_->setTargetSize(target_);
}

void VideoPlayer::takeFrame()
{
    QImage image;
    double time = 0;
    {
        QMutexLocker lock(&slot_->mutex);
        slot_->posted = false;
        if (!slot_->filled || slot_->serial != serial_)
            return;
        slot_->filled = false;
        image = std::move(slot_->image);
        slot_->image = QImage();
        time = slot_->time;
    }
    frame_ = std::move(image);
    ++frameNumber_;
    Q_EMIT frameChanged();
    Q_EMIT positionChanged(std::llround(time * 1000));
}

void VideoPlayer::play()
{
    if (!engine_ || status_ == QMediaPlayer::InvalidMedia)
        return;
    if (status_ == QMediaPlayer::EndOfMedia) {
        serial_ = engine_->seek(0, false);
        setStatus(QMediaPlayer::LoadedMedia);
    }
    serial_ = engine_->setRunning(true);
    setState(QMediaPlayer::PlayingState);
}

void VideoPlayer::pause()
{
    if (!engine_ || status_ == QMediaPlayer::InvalidMedia)
        return;
    engine_->setRunning(false);
    setState(QMediaPlayer::PausedState);
}

void VideoPlayer::stop()
{
    if (!engine_ || state_ == QMediaPlayer::StoppedState) {
        if (engine_ && status_ == QMediaPlayer::EndOfMedia) {
            serial_ = engine_->seek(0, false);
            setStatus(QMediaPlayer::LoadedMedia);
        }
        return;
    }
    engine_->setRunning(false);
    serial_ = engine_->seek(0, false);
    setState(QMediaPlayer::StoppedState);
    if (status_ == QMediaPlayer::EndOfMedia)
        setStatus(QMediaPlayer::LoadedMedia);
}

void VideoPlayer::setPosition(qint64 ms)
{
    if (!engine_ || status_ == QMediaPlayer::InvalidMedia)
        return;
    // The picture follows the position, whether playing, paused or stopped.
    serial_ = engine_->seek(double(std::max<qint64>(ms, 0)) / 1000, true);
    if (status_ == QMediaPlayer::EndOfMedia)
        setStatus(QMediaPlayer::LoadedMedia);
    Q_EMIT positionChanged(position());
}

qint64 VideoPlayer::position() const
{
    if (!engine_)
        return 0;
    if (status_ == QMediaPlayer::EndOfMedia)
        return durationMs_;
    const qint64 ms = std::llround(std::max(engine_->position(), 0.0) * 1000);
    return durationMs_ > 0 ? std::min(ms, durationMs_) : ms;
}

void VideoPlayer::setTargetSize(QSize size)
{
    target_ = size;
    if (engine_)
        engine_->setTargetSize(size);
}

PlaybackEngine::Stats VideoPlayer::stats() const
{
    return engine_ ? engine_->stats() : PlaybackEngine::Stats{};
}

void VideoPlayer::setState(QMediaPlayer::PlaybackState state)
{
    if (state_ == state)
        return;
    state_ = state;
    Q_EMIT playbackStateChanged(state);
}

void VideoPlayer::setStatus(QMediaPlayer::MediaStatus status)
{
    if (status_ == status)
        return;
    status_ = status;
    Q_EMIT mediaStatusChanged(status);
}

} // namespace app
