#pragma once

#include "app/platform/playback/PlaybackClock.h"

#include <QAudioDevice>
#include <QElapsedTimer>
#include <QImage>
#include <QSize>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

struct AVFrame;
struct AVPacket;

namespace app {

class AudioOutput;
struct PlaybackMedia;

// Plays one file: a thread reads it and decodes its sound, one decodes its pictures and one shows
// them when they are due by the clock, which the sound drives when there is any. The sound starts
// with the first picture (alone only when the pictures start later), and the clock once the sound
// is heard. A picture that comes too late while others pile up behind it is dropped before it is
// converted; while the pictures fall behind the decoder is not given the ones nothing refers to,
// far behind it decodes the rest roughly, and it jumps to a key picture only when one is near
// enough to be worth the picture standing still: the sound never waits for the picture, and the
// clip ends with its sound. A file that stops reading part way fails once what was read has
// played. Every call returns at once; what happens is told through the events, from the engine's
// threads.
class PlaybackEngine {
public:
    struct Events {
        std::function<void(double duration, bool hasAudio)> loaded;
        std::function<void(const QString& reason)> failed;
        // A picture to show now, made for the size asked; `serial` counts seeks.
        std::function<void(const QImage& image, double time, quint64 serial)> frame;
        // Whether the last picture handed over was taken: one handed over on top of it is never seen.
        std::function<bool()> frameTaken;
        std::function<void(quint64 serial)> ended;
        // Told of each picture out of the decoder, on its thread (tests make decoding slow with it).
        std::function<void()> decoded;
    };
    struct Stats {
        // `skipped`: pictures never decoded because the decoder jumped to a key picture past them.
        quint64 decoded = 0, shown = 0, late = 0, rough = 0, skipped = 0;
        // Thread time spent turning pictures into images, all threads of a conversion together.
        double convertMs = 0;
    };

    // A null device plays without sound.
    // Without a device, sound goes to the system's default; a null device plays silently.
    PlaybackEngine(const QString& path, const std::optional<QAudioDevice>& device, Events events);
    ~PlaybackEngine();
    PlaybackEngine(const PlaybackEngine&) = delete;
    PlaybackEngine& operator=(const PlaybackEngine&) = delete;

    // Returns the serial the pictures from now on carry: playing on after a pause may start the
    // decoding again at the position, as a seek does.
    quint64 setRunning(bool running);
    // Goes to `seconds`; the first picture there is shown even while paused when `show` is set.
    // Returns the serial the pictures from there carry (the first file position is serial 1).
    quint64 seek(double seconds, bool show);
    double position() const { return clock_.now(); }
    void setTargetSize(QSize size);
    Stats stats() const;

    // Whether a picture `late` seconds past its time is dropped unconverted. Only while pictures
    // pile up faster than they are shown (the queue filled since the last one shown, or showing one
    // takes longer than it lasts) or far behind: when the decoder is what falls behind, a late
    // picture is still the newest there will be for a while, and dropping it would only leave the
    // screen still for longer.
    // `queueFilled`: the queue filled since the last picture was shown; `showing`: seconds the last
    // one took to convert and hand over.
    static bool dropsLate(double late, double duration, bool nextDue, bool queueFilled, double showing);
    // Further behind the sound than this, pictures are decoded without any edge smoothing, and
    // one late is dropped whatever else.
    static constexpr double farBehind = 0.25;
    // Whether a decoder whose next picture comes `late` seconds late leaves out everything up to
    // the nearest key picture, due `ahead` seconds from now, when a decoder started afresh takes
    // `fresh` seconds to give its first picture: only when the jump takes away more lag than the
    // picture stands still for it, and never to a key picture further than `keyReach` ahead.
    // Otherwise leaving out the pictures nothing refers to lets the lag shrink with the picture
    // moving.
    static bool jumpsToKey(double late, double ahead, double fresh);
    static constexpr double keyReach = 0.5;

private:
    enum class Kind { data, flush, end };
    struct Packet {
        AVPacket* packet = nullptr;
        Kind kind = Kind::data;
        quint64 serial = 0;
        // A picture's: its time, and whether decoding may start at it.
        double time = 0;
        bool key = false;
    };
    struct Frame {
        AVFrame* frame = nullptr;
        bool end = false;
        quint64 serial = 0;
        double time = 0, duration = 0;
    };

    void readLoop();
    void decodeLoop();
    void presentLoop();
    // Drops the packets queued before the next key picture of `serial` when jumpsToKey says so for
    // a picture `late` now; whether it did.
    bool jumpToKeyLocked(quint64 serial, double now, double late, double fresh);
    // Drops the packets of `serial` queued before its end.
    void dropUntilEndLocked(quint64 serial);
    // Where the clip ends once it is all read (its pictures and its sound), else infinity.
    double endLocked() const;
    bool open();
    void decodeSound(AVPacket* packet, quint64 serial, double from);
    static void freeFrame(AVFrame* frame);
    static void freePacket(AVPacket* packet);
    // Decoded pictures waiting to be shown: each is a whole frame, 24 MB at 4K in 10 bits.
    static constexpr size_t maxFrames = 4;
    // Data that ends this far short of the length its header gives is a file cut short.
    static constexpr double shortEnd = 0.5;
    void clearLocked();
    void seekLocked(double seconds, bool show);
    // Paused with pictures decoded: the decoder lets them and its lease go (the decoder's thread).
    bool restDue() const { return holding_ && !running_ && !showOne_; }
    void releasePictures();
    // Starts the sound if playing is wanted and the clock stands still, and the clock with it, or
    // once the device has begun to play the sound waiting for it.
    void startClockLocked();
    bool soundDueLocked() const;
    // What the reader does when the sound ring is full while the sound stands still.
    bool soundRingFull();
    void failLocked(quint64 serial, const QString& reason);
    // Waits, the lock held, until `ready` or the engine closes; false when it closed.
    template <class Ready>
    bool waitFor(std::unique_lock<std::mutex>& lock, Ready ready)
    {
        changed_.wait(lock, [&] { return quit_ || ready(); });
        return !quit_;
    }

    QString path_;
    Events events_;
    std::unique_ptr<PlaybackMedia> media_;
    // The sound's thread tells the clock what is heard: the clock outlives it.
    PlaybackClock clock_;
    std::unique_ptr<AudioOutput> audio_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Packet> packets_;
    std::deque<Frame> frames_;
    size_t packetBytes_ = 0;
    quint64 serial_ = 1;
    bool quit_ = false;
    std::atomic<bool> quitting_ = false;
    bool running_ = false;
    bool seekPending_ = false;
    double seekTarget_ = 0;
    bool showOne_ = false;
    bool readEnded_ = false;
    bool opened_ = false;
    // The decoder holds the lease of its pictures (written by its thread only).
    bool holding_ = false;
    // The decoder let its pictures go mid-clip: playing on starts again at the position.
    bool rested_ = false;
    // The pictures' queue filled up since the last one was shown.
    bool pilingUp_ = false;
    // Since the last seek: the earliest picture read, and how long the sound has waited for it
    // with its ring full (invalid while it does not).
    double firstPictureRead_ = 0, lastPictureRead_ = 0;
    bool pictureRead_ = false;
    // The file has a sound stream that opened.
    bool soundExpected_ = false;
    QElapsedTimer soundWaiting_;
    // Where the pictures and the sound read reach, once the whole file is read.
    double readEndsAt_ = 0;
    // The serial whose reading stopped short (a pulled drive, a cut file) or none of whose pictures
    // decoded, and what is then said once what was read has played.
    quint64 failed_ = 0;
    QString failure_;
    QSize target_;
    // The larger size parameter sets further in code, for the decoder to be made afresh for.
    QSize grownTo_;
    // Clockwise quarter turns of the display matrix, in degrees; set before the first picture.
    int rotation_ = 0;
    Stats stats_;

    std::thread reader_, decoder_, presenter_;
};

} // namespace app
