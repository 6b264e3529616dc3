#pragma once

// Clips as phones make them (noisy moving pictures at a phone's bit rate, HEVC in 8 and 10-bit HLG,
// and H.264, a key picture every second), made once into a folder and reused; what the playback
// benchmark needs to know of any clip; and ffmpeg decoding one on the program's cores, the peer it
// is measured against.

#include <QSize>
#include <QString>
#include <QStringList>

#include <vector>

namespace bench {

struct ClipRecipe {
    const char* file;
    const char* name;
    // The ffmpeg arguments after the inputs, up to the output.
    QStringList coding;
    QSize size;
    int rate;
};

constexpr int clipSeconds = 10;
// The clips' sound: a tone rising from `chirpFrom` Hz by `chirpRise` Hz a second.
constexpr double chirpFrom = 200, chirpRise = 200;

extern const std::vector<ClipRecipe> phoneClips;

// Makes the clip into `folder` unless it is there already; uses every core it may.
bool makeClip(const ClipRecipe& recipe, const QString& folder);

// What the file says of itself, read by ffprobe.
struct ClipFacts {
    QString path, name;
    QSize size; // as coded
    double rate = 0;
    int frames = 0;
    // Each picture's time from the start of the file, in order of showing.
    std::vector<double> times;
    double videoEnd = 0, soundEnd = 0;
    bool hasSound = false, hdr = false;
};
bool probeClip(const QString& path, ClipFacts& facts);

// ffmpeg decoding the clip and scaling it to `size` as fast as it can, on `cores` ("6,7") with a
// thread for each: pictures a second, 0 when it failed.
double peerFps(const ClipFacts& clip, QSize size, const QString& cores);

// Runs a program to its end; its standard output into `out`. False (and its errors printed) when
// it failed.
bool runProgram(const QString& program, const QStringList& args, QByteArray* out = nullptr);

// "min–max" of the values.
QString range(std::vector<double> values, int decimals);
double median(std::vector<double> values);
// The first line of /proc/loadavg, or an empty text.
QByteArray loadAverage();

} // namespace bench
