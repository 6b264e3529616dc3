#pragma once

#include <QAudioDevice>
#include <QAudioFormat>
#include <QByteArray>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>

struct pa_context;
struct pa_mainloop_api;
struct pa_stream;
struct pa_threaded_mainloop;
struct pa_time_event;

namespace app {

class PlaybackClock;

// The sound of one video: decoded samples wait in a ring of about a second and go to a stream of
// the sound server, through a connection of the clip's own (a server restarted since the last clip
// is reached again), on the sound library's thread. A clock told to wait for the sound starts at
// the first sample heard. Without a server that answers, nothing opens and the clock runs on the
// wall alone; a server or device that fails or stops taking samples while playing leaves the rest
// of the clip silent, and the clock goes on by the wall, as it does once the sound ends.
class AudioOutput {
public:
    // Asked, from the pushing thread, whenever the ring is full while the output stands still:
    // nothing drains it then. True lets the push go past the ring's size (up to a bound).
    using Full = std::function<bool()>;
    // Told, on the sound library's thread, when the device began to play or the sound failed: it
    // must not wait for anything.
    using Changed = std::function<void()>;
    // Without a device, sound goes to the server's default sink.
    AudioOutput(std::optional<QAudioDevice> device, PlaybackClock& clock, Full whenFull = {}, Changed changed = {});
    ~AudioOutput();
    AudioOutput(const AudioOutput&) = delete;
    AudioOutput& operator=(const AudioOutput&) = delete;

    // The format the stream takes (16-bit samples, one or two channels); invalid without a server
    // that answers in time.
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
    // Sound waits that the device has not begun to play since it was last started.
    bool pending() const;

private:
    struct Chunk {
        QByteArray bytes;
        double pts = 0;
    };
    // Where the stream's bytes from `offset` on came from in the clip.
    struct Segment {
        std::int64_t offset = 0;
        double pts = 0;
    };
    using Clock = std::chrono::steady_clock;

    // Takes up to `max` bytes from the ring; `pts` gets the time of the first.
    // Samples the clock passed `margin` seconds ago or more are dropped first.
    qsizetype take(char* out, qsizetype max, double& pts, double margin);
    // Forgets the samples the clock passed `margin` seconds ago or more.
    void dropPassedLocked(double margin);
    // Logged once, with `why`.
    void fail(const char* why);

    // On the sound library's thread, or with its lock held.
    static void contextChanged(pa_context* context, void* self);
    static void streamChanged(pa_stream* stream, void* self);
    static void ticked(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self);
    void makeStream();
    void dropStream();
    // Starts the device on the sound, or corks it.
    void play(bool playing);
    void feed();
    void listen();
    void hearAt(Clock::time_point now);
    void askTiming();
    static void timed(pa_stream* stream, int success, void* self);
    bool opened() const;
    // Tells the owner, unless it closed the output.
    void tell();
    double ptsAt(std::int64_t bytes);

    PlaybackClock& clock_;
    Full whenFull_;
    Changed changed_;
    QByteArray sink_;
    QAudioFormat format_;
    double bytesPerSecond_ = 1;

    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    pa_stream* stream_ = nullptr;
    pa_time_event* tick_ = nullptr;
    // With the loop's lock: what the stream was asked, what was written to it and what of that has
    // been heard since it was made or last uncorked.
    bool playing_ = false;
    bool corked_ = true;
    bool began_ = false;
    std::int64_t written_ = 0;
    std::int64_t heardBytes_ = 0;
    std::int64_t beganAfter_ = 0;
    double heard_ = -1;
    std::deque<Segment> segments_;
    Clock::time_point progress_ = Clock::now();
    Clock::time_point timed_{};
    // Answers asked of the server about the stream, and the first that counts since it was
    // (un)corked.
    std::uint64_t timingAsked_ = 0, timingAnswered_ = 0, trustFrom_ = 1;

    mutable std::mutex mutex_;
    std::condition_variable space_;
    std::condition_variable connected_;
    std::deque<Chunk> chunks_;
    qsizetype queued_ = 0;
    qsizetype offset_ = 0;
    qsizetype capacity_ = 0;
    quint64 serial_ = 0;
    double endTime_ = 0;
    bool closed_ = false;
    bool running_ = false;
    bool failed_ = false;
    // The stream may be asked for: what the loop's thread does is set up.
    bool opened_ = false;
    int contextState_ = 0;
    // Sound written to the stream that the device has not begun to play.
    bool unheard_ = false;
};

} // namespace app
