#pragma once

#include <QAudioDevice>
#include <QAudioFormat>
#include <QByteArray>
#include <QThread>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace app {

class PlaybackClock;

// The sound of one video: decoded samples wait in a ring of about a second and a sink on a thread
// of its own writes them to the device as it takes them, telling the clock what is heard. Without
// a device that takes the format, nothing opens and the clock runs on the wall alone; a device
// that fails or stops taking samples while playing leaves the rest of the clip silent, and the
// clock goes on by the wall, as it does once the sound ends.
class AudioOutput {
public:
    // Asked, from the pushing thread, whenever the ring is full while the output stands still:
    // nothing drains it then. True lets the push go past the ring's size (up to a bound).
    using Full = std::function<bool()>;
    // Without a device, the system's default is asked for on the sound's own thread as it opens.
    AudioOutput(std::optional<QAudioDevice> device, PlaybackClock& clock, Full whenFull = {});
    ~AudioOutput();
    AudioOutput(const AudioOutput&) = delete;
    AudioOutput& operator=(const AudioOutput&) = delete;

    // The device's format nearest the stream's (16-bit samples, one or two channels); invalid when
    // the device takes none.
    QAudioFormat open(int sampleRate, int channels);
    // Waits while the ring is full; false when `serial` is no longer current or the output closes.
    // After the device failed, samples are dropped at once.
    bool push(QByteArray samples, double pts, quint64 serial);
    // Forgets what waits and what the device holds, for samples of `serial` from now on.
    void flush(quint64 serial);
    void setRunning(bool running);
    // Wakes a push that waits; nothing more is taken.
    void close();
    // Media time just past the last sample pushed; 0 once the device failed.
    double endTime() const;
    // The device stopped taking samples on an error.
    bool failed() const;

private:
    struct Chunk {
        QByteArray bytes;
        double pts = 0;
    };
    class Feeder;
    // Takes up to `max` bytes from the ring; `pts` gets the time of the first.
    // Samples the clock passed `margin` seconds ago or more are dropped first.
    qsizetype take(char* out, qsizetype max, double& pts, double margin);
    qsizetype queuedBytes() const;
    // Forgets the samples the clock passed `margin` seconds ago or more.
    void dropPassedLocked(double margin);
    // Logged once, with `why`.
    void fail(const char* why);

    PlaybackClock& clock_;
    Full whenFull_;
    QThread thread_;
    Feeder* feeder_ = nullptr;
    QAudioFormat format_;

    mutable std::mutex mutex_;
    std::condition_variable space_;
    std::deque<Chunk> chunks_;
    qsizetype queued_ = 0;
    qsizetype offset_ = 0;
    qsizetype capacity_ = 0;
    quint64 serial_ = 0;
    double endTime_ = 0;
    bool closed_ = false;
    bool running_ = false;
    bool failed_ = false;
};

} // namespace app
