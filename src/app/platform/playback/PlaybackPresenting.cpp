#include "app/platform/playback/PlaybackEngine.h"

#include "app/platform/playback/AudioOutput.h"
#include "app/platform/playback/PlaybackMedia.h"
#include "app/platform/playback/VideoFrameScaler.h"

#include <QElapsedTimer>
#include <QTransform>

extern "C" {
#include <libavutil/frame.h>
}

#include <algorithm>
#include <chrono>

// The presenting thread: pictures shown when the clock says, late ones dropped, and the end.
namespace app {

namespace {

// Longest a first picture waits for others to be decoded behind it, in ms.
constexpr qint64 primingMs = 500;

} // namespace

bool PlaybackEngine::dropsLate(double late, double duration, bool nextDue, bool queueFilled, double showing)
{
    return late > duration && nextDue && (queueFilled || showing > duration || late > farBehind);
}

void PlaybackEngine::presentLoop()
{
    VideoFrameScaler scaler;
    // How long the last picture took to hand over, waiting for its time left out.
    double lastShowing = 0;
    double lastEnd = 0;
    quint64 lastSerial = 0;
    for (;;) {
        std::unique_lock lock(mutex_);
        if (!waitFor(lock, [&] { return !frames_.empty() && (running_ || showOne_); }))
            break;
        Frame f = frames_.front();
        frames_.pop_front();
        changed_.notify_all();
        const quint64 serial = f.serial;
        if (serial != serial_) {
            freeFrame(f.frame);
            continue;
        }
        if (f.end) {
            // A cover stands for as long as the sound, heard or not.
            const double end = std::max({lastEnd, audio_ ? audio_->endTime() : 0.0, media_->cover ? media_->duration : 0.0});
            startClockLocked();
            while (!quit_ && serial == serial_ && !(running_ && clock_.now() >= end)) {
                startClockLocked();
                changed_.wait_for(lock, std::chrono::milliseconds(10));
            }
            if (quit_ || serial != serial_)
                continue;
            // What the device still holds of the sound plays out.
            running_ = false;
            clock_.setRunning(false);
            const QString failure = failed_ == serial ? failure_ : QString();
            lock.unlock();
            // What was read before the drive went is shown; then it says why the clip stopped
            // short instead of passing it off as the end.
            if (!failure.isEmpty())
                events_.failed(failure);
            else
                events_.ended(serial);
            continue;
        }
        if (serial != lastSerial) {
            lastSerial = serial;
            lastEnd = 0;
        }
        const bool show = showOne_ && !running_;
        // The clock (and the sound) starts once the first picture is ready to be shown.
        if (running_ && !show && clock_.running()) {
            const double now = clock_.now();
            const bool nextDue = !frames_.empty() && frames_.front().serial == serial && !frames_.front().end
                && frames_.front().time <= now;
            // Past the clip's end nothing late is worth showing: it ends with its sound.
            if (dropsLate(now - f.time, f.duration, nextDue, pilingUp_, lastShowing)
                || (now >= endLocked() && now - f.time > f.duration)) {
                ++stats_.late;
                freeFrame(f.frame);
                continue;
            }
        }
        QSize target = target_.isEmpty() ? QSize(1280, 720) : target_;
        const int rotation = rotation_;
        lock.unlock();
        QElapsedTimer converting;
        converting.start();
        // A turned clip fits the box once turned: the frame is made for the box on its side.
        if (rotation % 180 != 0)
            target.transpose();
        QImage image = scaler.convert(*f.frame, target);
        freeFrame(f.frame);
        if (rotation != 0 && !image.isNull())
            image = image.transformed(QTransform().rotate(rotation));
        const double convertMs = double(converting.nsecsElapsed()) / 1e6;
        if (image.isNull()) {
            if (scaler.rejected() == 0)
                continue;
            // Pictures that cannot be turned into images: the clip stops and says so.
            lock.lock();
            if (serial != serial_)
                continue;
            running_ = false;
            clock_.setRunning(false);
            if (audio_)
                audio_->setRunning(false);
            lock.unlock();
            events_.failed(QStringLiteral("无法播放这个视频：它的画面格式不受支持。"));
            continue;
        }
        lock.lock();
        // The first picture of a start: a few more are decoded before the clock (and the sound)
        // starts, or the picture would stand still right after it while the decoder fills.
        QElapsedTimer priming;
        priming.start();
        while (!show && !quit_ && serial == serial_ && running_ && !clock_.running() && frames_.size() + 1 < maxFrames
               && (frames_.empty() || !frames_.back().end) && priming.elapsed() < primingMs)
            changed_.wait_for(lock, std::chrono::milliseconds(10));
        if (!show) {
            // Until it is due; a pause holds it, and it shows when playing goes on. A first picture
            // waits for the clock, and the clock for the sound to be heard.
            while (!quit_ && serial == serial_ && !(running_ && clock_.running() && clock_.now() >= f.time)) {
                startClockLocked();
                const double wait = !running_ ? 0.05 : !clock_.running() ? 0.005
                                                                          : std::clamp(f.time - clock_.now(), 0.001, 0.05);
                changed_.wait_for(lock, std::chrono::duration<double>(wait));
            }
        }
        // The window still paints the previous picture: wait for it a little, as one put over it
        // unseen would only have cost its decoding.
        QElapsedTimer handing;
        handing.start();
        for (int i = 0; i < 8 && !quit_ && serial == serial_ && events_.frameTaken && !events_.frameTaken(); ++i)
            changed_.wait_for(lock, std::chrono::milliseconds(2));
        if (quit_)
            break;
        if (serial != serial_)
            continue;
        if (show)
            showOne_ = false;
        ++stats_.shown;
        pilingUp_ = false;
        stats_.convertMs += convertMs;
        lastEnd = f.time + f.duration;
        lock.unlock();
        events_.frame(image, f.time, serial);
        lastShowing = (convertMs + double(handing.nsecsElapsed()) / 1e6) / 1000;
    }
}

} // namespace app
