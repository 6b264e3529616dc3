#pragma once

// What the screen showed of a clip, measured against the clip itself: a small rectangle of the
// screen's picture captured by ffmpeg (x11grab) at a steady rate, each new picture kept in grey with
// its wall time; the same rectangle of the clip's own pictures decoded by ffmpeg, scaled as shown;
// each picture captured matched to the clip picture it differs least from. The rectangle must tell
// one picture from the next: the benchmark's clips carry their picture number in big cells in their
// top-left corner. Over a whole picture of slowly moving content, a picture differs from the next
// by less than the program's and ffmpeg's colour conversions differ from one another.

#include <QByteArray>
#include <QProcess>
#include <QRect>
#include <QString>
#include <QTemporaryDir>

#include <optional>
#include <utility>
#include <vector>

namespace bench {

struct ClipFacts;

// Grey thumbnails, one after another, each `width` x `height` bytes.
struct Thumbnails {
    int width = 0, height = 0;
    std::vector<unsigned char> pixels;
    // Wall time each came (seconds since the epoch); empty for the clip's own pictures.
    std::vector<double> times;
    // Wall time of every grab, new picture or not.
    std::vector<double> grabs;
    size_t count() const { return width > 0 && height > 0 ? pixels.size() / size_t(width * height) : 0; }
    const unsigned char* at(size_t i) const { return pixels.data() + i * size_t(width * height); }
};

// Captures `area` of the display every 1/`rate` s for `seconds`, on `cores`; keeps only the
// pictures that differ from the one before.
class ScreenCapture {
public:
    bool start(const QByteArray& display, QRect area, int rate, double seconds, const QString& cores);
    // Waits for the end of the capture; empty thumbnails when it failed.
    Thumbnails finish();

private:
    QTemporaryDir files_;
    QProcess grab_;
    QSize thumb_;
};

// Where in the clip's sound a moment of sound is, told by what it sounds like: the clips made here
// sound a tone rising at a steady rate, so each cycle's pitch gives its time. Fitted to the clip's
// own sound, decoded by ffmpeg; a clip of one steady tone gives none.
struct SoundClock {
    // The clip's pitch, Hz, at `t` seconds of the clip: `from + rise * t`.
    double from = 0, rise = 0;
    // Where the clip's own sound is first and last heard, seconds of the clip.
    double first = 0, last = 0;
    bool valid() const { return rise > 20; }
    double at(double hz) const { return (hz - from) / rise; }
};
bool soundClock(const ClipFacts& clip, const QString& cores, SoundClock& out);

// Each cycle of a tone in `samples` (mono, `rate` a second) that stands out of silence: when it
// was, in seconds from the first sample, and its pitch.
std::vector<std::pair<double, double>> toneCycles(const std::vector<float>& samples, double rate);

// The sound reaching the null sink `sink`: its monitor recorded on `cores` for `seconds`, in
// blocks of about 20 ms, placed at the wall time the sink played them.
struct Heard {
    // Wall time (seconds since the epoch) and length of each block that was not silent.
    std::vector<std::pair<double, double>> blocks;
    // With a clip's sound clock: wall time and time in the clip of what was heard, cycle by cycle.
    std::vector<std::pair<double, double>> clip;
    // The time in the clip of what was heard at wall time `t`: it stands still through gaps.
    double clipAt(double t) const;
    // How much sound had played by wall time `t`: the sound's clock, which stands still through gaps.
    double position(double t) const;
    double start() const { return blocks.front().first; }
    double end() const { return blocks.back().first + blocks.back().second; }
};

class SoundCapture {
public:
    bool start(const QString& sink, double seconds, const QString& cores);
    // Empty blocks when no sound came; with a valid `clock`, where in the clip each part heard was.
    Heard finish(const SoundClock& clock = {});

private:
    QTemporaryDir files_;
    QProcess record_;
};

// The clip's pictures scaled to `shown` as the program scales them (HDR tone mapped as ffmpeg does
// it), the `area` of that which was captured (relative to the picture), in grey, on `cores`.
bool decodeThumbnails(const ClipFacts& clip, QSize shown, QRect area, const QString& cores, Thumbnails& out);

struct Match {
    // Index of the clip picture, or -1 when the captured picture is none of them.
    int frame = -1;
    // Mean absolute difference after each picture's brightness and contrast were evened out.
    double difference = 0;
};
// The clip picture each captured one differs least from, the first `inOrder` of them taken
// together: a clip played through never goes back, so those are matched in the clip's order (the
// path through the clip's pictures that differs least in all), which keeps a grab that happens to
// look like a picture seconds away from being taken for it.
std::vector<Match> matchPictures(const Thumbnails& captured, const Thumbnails& clip, size_t inOrder = 0);

} // namespace bench
