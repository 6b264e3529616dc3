#pragma once

// One run of a clip in the program, as the screen and the sink saw it: the new pictures the
// screen capture kept, matched to the clip's own, and the sound recorded from the sink. Until the
// clip's end the pictures are matched in the clip's order. The sound's clock is what was heard:
// where in the clip each part of it was, told by its pitch when the clip's sound rises steadily,
// or else placed by its end (the clip's sound's end), a sink that wakes late leaving out the first
// part of the sound rather than playing it later.

#include "support/PhoneClips.h"
#include "support/ScreenMatch.h"

#include <utility>
#include <vector>

namespace bench {

// A picture standing still longer than this while the clip plays is a hold: a few pictures' time,
// well past one picture at 30 fps.
constexpr double holdOver = 0.15;

struct PlaybackRun {
    bool ok = false;
    double distinctFps = 0, captureFps = 0;
    // Lag of picture behind sound at every captured picture while the sound played, seconds.
    std::vector<double> lags;
    // Each picture that stood on the screen past `holdOver` while the clip played, in order: its
    // time in the clip and how long it stood; and the longest any stood.
    std::vector<std::pair<double, double>> holds;
    double longestHold = 0, longestHoldAt = 0;
    // The clip's picture the program began with (0 unless it skipped the first).
    int firstFrame = 0;
    // When the last picture of the clip left the screen, less when the sound ended.
    double endedAfterSound = 0;
    // Whether the sound reached the sink; when, after the first picture; how long it stood still.
    bool soundFromSink = false;
    double soundLate = 0, soundGaps = 0;
    // How much of the clip's sound the sink never played: at its start, at its end, and each part
    // skipped between (where in the clip, how long), when the sound's pitch tells where it is; else
    // all of it counts as the start's.
    bool soundPlaced = false;
    double unheardStart = 0, unheardEnd = 0;
    std::vector<std::pair<double, double>> skips;
    // The sound the sink played, all told, seconds: a check on the three above.
    double heard = 0;
    // Over the capture, in cores: the program's threads running, and ready but waiting for a core.
    double running = 0, waiting = 0;
    int distinct = 0, unmatched = 0;
    // How far each matched picture was from its match (grey levels, after evening out).
    std::vector<double> differences;
    double peer = 0;
};

// `captured` holds the new pictures the capture saw, `own` the clip's, `pressed` when Return was
// pressed; `clock` as the sound was placed (its `first` and `last` the clip's own sound's).
PlaybackRun analysePlayback(const Thumbnails& captured, const Thumbnails& own, const Heard& heard,
                            const ClipFacts& clip, const SoundClock& clock, double pressed);

} // namespace bench
