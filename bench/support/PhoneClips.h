#pragma once

// Clips as phones make them, made once into a folder and reused, and the ffmpeg peer the playback
// benchmark measures beside the player.

#include <QSize>
#include <QString>
#include <QStringList>

#include <vector>

namespace bench {

struct Clip {
    const char* name;
    QSize size; // as coded
    int rate;
    bool hlg;
    bool h264;
    const char* bitrate;
    // The display matrix's quarter turn, as a phone held upright writes it; 0 for none.
    int rotate = 0;
};

// Long enough that the measured stretch, after the opening and a settling second, never reaches
// the end; kept clips are reused whatever the seconds played.
constexpr int clipSeconds = 12;

extern const std::vector<Clip> clips;

// Named after everything that makes the clip, so a changed recipe makes a new file.
QString clipPath(const QString& folder, const Clip& clip);
// Moving pictures under sensor-like grain, coded as a phone does (x265 `veryfast` with SAO, or x264,
// at the phone's bit rate, with sound); a clip already there is kept. Uses every core it may.
bool makeClip(const Clip& clip, const QString& path, int seconds);
// Pictures in the file's video stream, counted by reading it.
int countFrames(const QString& path);

// ffmpeg decoding the clip and scaling it to `size` (as shown, turned) as fast as it can with two
// threads, on the cores this process may use (a child keeps its parent's affinity). With `shown`,
// it also ends where the player does: 32-bit RGB, HDR tone mapped by its own filters. Frames a
// second over `frames`, 0 when it failed.
double peerFps(const QString& path, QSize size, int frames, bool shown, const Clip& clip);

// Shown frames a second over the peer's, each capped at the clip's rate: a peer faster than the
// clip says no more than that the clip can play in full. 0 when the peer failed.
double cappedRatio(double shownFps, double peerFps, int rate);
// "min / median / max" of the values, on one line.
void printStats(const char* what, std::vector<double> values, const char* unit);
double median(std::vector<double> values);
// The first line of /proc/loadavg, or an empty text.
QByteArray loadAverage();

} // namespace bench
