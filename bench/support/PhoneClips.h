#pragma once

// The phone-like clips both playback benchmarks play, made once into a folder and reused, and
// the ffmpeg peer they are measured beside.

#include <QByteArray>
#include <QSize>
#include <QString>

#include <vector>

namespace bench {

struct Clip {
    const char* name;
    const char* size;
    int rate;
    bool hlg;
};

// Long enough that the measured stretch, after the opening and a settling second, never reaches
// the end; kept clips are reused whatever the seconds played.
constexpr int clipSeconds = 11;

extern const Clip clips[4];

QString clipPath(const QString& folder, const Clip& clip);
// Moving pictures under sensor-like noise, so the encoder spends its 45 Mb/s as a phone's does;
// a clip already there is kept.
bool makeClip(const Clip& clip, const QString& path, int seconds);
// Frames a second for ffmpeg decoding the clip and scaling it into the box, on the cores this
// process may use (a child keeps its parent's affinity). With `shown`, ffmpeg also ends where the
// player does: 32-bit RGB, HLG tone mapped by its own filters.
double peerFps(const QString& path, QSize box, int frames, bool shown = false, bool hlg = false);
// Frames shown over the peer's frames a second, each capped at the clip's rate: a peer faster than
// the clip says no more than that the clip can play in full. 0 when the peer failed.
double cappedRatio(double shownFps, double peerFps, int rate);
// "min / median / max" of the values, on one line.
void printStats(const char* what, std::vector<double> values, const char* unit);
// The first line of /proc/loadavg, or an empty text.
QByteArray loadAverage();

} // namespace bench
