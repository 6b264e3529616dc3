#include "support/PlaybackRun.h"

#include <algorithm>
#include <cstdio>

namespace bench {

PlaybackRun analysePlayback(const Thumbnails& captured, const Thumbnails& own, const Heard& heard,
                            const ClipFacts& clip, const SoundClock& clock, double pressed)
{
    PlaybackRun run;
    // What came after Return.
    Thumbnails shown = captured;
    const size_t before = size_t(std::lower_bound(shown.times.begin(), shown.times.end(), pressed) - shown.times.begin());
    shown.times.erase(shown.times.begin(), shown.times.begin() + qsizetype(before));
    shown.pixels.erase(shown.pixels.begin(), shown.pixels.begin() + qsizetype(before * size_t(shown.width * shown.height)));
    // Until the clip's end, the pictures shown only go forward; after it the viewer goes back to
    // its first picture.
    const double playEnds = (heard.blocks.empty() ? pressed + clip.soundEnd + 2 : heard.end()) + 0.5;
    const size_t inOrder = size_t(std::upper_bound(shown.times.begin(), shown.times.end(), playEnds) - shown.times.begin());
    const std::vector<Match> matches = matchPictures(shown, own, inOrder);
    std::vector<double> differences;
    for (const Match& m : matches)
        differences.push_back(m.difference);
    // Pictures of the clip: close to one of its own, as most of what was captured is (a grab that
    // caught the window half painted is not).
    const double usual = median(differences);
    auto isClip = [&](size_t i) { return matches[i].frame >= 0 && matches[i].difference < 1.5 * usual; };
    auto frameTime = [&](size_t i) { return clip.times[size_t(std::min(matches[i].frame, clip.frames - 1))]; };
    size_t first = 0;
    while (first < shown.count() && !isClip(first))
        ++first;
    // A placeholder like the first picture may come before it: the last new picture before the clip moves on.
    while (first + 1 < shown.count() && isClip(first + 1) && matches[first + 1].frame == matches[first].frame)
        ++first;
    if (first >= shown.count()) {
        std::fprintf(stderr, "  no picture of the clip on the screen (%zu new pictures after Return)\n", shown.count());
        return run;
    }
    // The sound's clock: where in the clip what reached the sink was. Without sound, the program's
    // clock starts with its first picture.
    const double started = shown.times[first];
    const bool sounded = !heard.blocks.empty();
    run.soundPlaced = sounded && clock.valid() && !heard.clip.empty();
    const double heardInAll = sounded ? heard.position(heard.end()) : 0;
    auto soundAt = [&](double t) {
        if (run.soundPlaced)
            return heard.clipAt(t);
        return sounded ? clip.soundEnd - (heardInAll - heard.position(t)) : t - started + frameTime(first);
    };
    const double soundEnd = sounded ? heard.end() : started - frameTime(first) + clip.soundEnd;
    run.soundFromSink = sounded;
    if (sounded) {
        run.soundLate = heard.start() - started;
        run.soundGaps = std::max(0.0, heard.end() - heard.start() - heardInAll);
        run.unheardStart = clip.soundEnd - heardInAll;
        run.heard = heardInAll;
    }
    if (run.soundPlaced) {
        run.unheardStart = std::max(0.0, heard.clip.front().second - clock.first);
        run.unheardEnd = std::max(0.0, clock.last - heard.clip.back().second);
        // The sound jumping ahead from one cycle to the next: left out.
        for (size_t i = 1; i < heard.clip.size(); ++i) {
            const auto& [wall, time] = heard.clip[i];
            const double ahead = (time - heard.clip[i - 1].second) - (wall - heard.clip[i - 1].first);
            if (ahead > 0.01)
                run.skips.emplace_back(heard.clip[i - 1].second, ahead);
        }
    }
    run.firstFrame = matches[first].frame;
    // The last picture of the clip shown: the latest in the clip; it ends a picture's time after it came.
    size_t last = first;
    for (size_t i = first; i < shown.count(); ++i)
        if (isClip(i) && matches[i].frame > matches[last].frame)
            last = i;
    run.endedAfterSound = shown.times[last] + 1 / clip.rate - soundEnd;
    const double playFrom = std::max(started, sounded ? heard.start() : started);
    // At every grab while the sound played: the picture then on the screen, and how far behind it was.
    size_t at = first;
    for (const double grab : shown.grabs) {
        if (grab < playFrom || grab > soundEnd)
            continue;
        while (at + 1 < shown.count() && shown.times[at + 1] <= grab)
            ++at;
        // Once the clip has ended the viewer shows its first picture again: not a picture behind.
        if (at > last && isClip(at) && matches[at].frame <= matches[first].frame)
            break;
        if (!isClip(at)) {
            ++run.unmatched;
            continue;
        }
        run.lags.push_back(soundAt(grab) - frameTime(at));
        run.differences.push_back(matches[at].difference);
    }
    // How long each picture stood on the screen while the clip played: from when it came to the
    // next new picture. A new picture close to none of the clip's (half painted, or its colours
    // converted unlike ffmpeg's) is a change all the same: the screen did not stand still.
    auto identity = [&](size_t i) { return isClip(i) ? matches[i].frame : -2 - int(i); };
    auto stood = [&](size_t from, double until) {
        const double still = until - std::max(shown.times[from], playFrom);
        const double at = clip.times[size_t(std::clamp(matches[from].frame, 0, clip.frames - 1))];
        if (still > run.longestHold) {
            run.longestHold = still;
            run.longestHoldAt = at;
        }
        if (still > holdOver)
            run.holds.emplace_back(at, still);
    };
    size_t from = first, i = first + 1;
    for (; i < shown.count() && shown.times[i] < soundEnd && i <= last; ++i) {
        if (identity(i) == identity(from))
            continue;
        stood(from, shown.times[i]);
        from = i;
    }
    // The last stands until the sound ends, unless something took its place before.
    stood(from, i < shown.count() ? std::min(soundEnd, shown.times[i]) : soundEnd);
    const double playedUntil = std::min(soundEnd, shown.grabs.empty() ? soundEnd : shown.grabs.back());
    for (size_t i = first + 1; i < shown.count() && shown.times[i] <= playedUntil; ++i)
        ++run.distinct;
    run.distinctFps = playedUntil > started ? run.distinct / (playedUntil - started) : 0;
    if (shown.grabs.size() > 1)
        run.captureFps = double(shown.grabs.size() - 1) / (shown.grabs.back() - shown.grabs.front());
    run.ok = !run.lags.empty();
    return run;
}

} // namespace bench
