// Video in the viewer as a phone's clips meet it: noisy HEVC at 45 Mb/s with sound, 8-bit and
// 10-bit HLG, 4K at 30 fps and 1080p at 60 fps, played through the viewer's own video view at
// 1280x760. Frames shown are counted where they are painted; dropped = frames due in the wall
// time measured minus frames shown. Beside it, on the same cores in the same run, `ffmpeg`
// decodes the same clip and scales it to the same box as fast as it can, once in YUV and once to
// what the player ends with (32-bit RGB, HLG tone mapped by ffmpeg's own filters). Each clip is
// measured 3 times (min / median / max). Run it pinned the way it is to be judged, e.g.
// `taskset -c 2,3 VideoPlaybackBench`.
//
//   VideoPlaybackBench [seconds to play, default 8] [folder keeping the clips] [clip name filter]

#include "app/platform/playback/VideoPlayer.h"
#include "app/views/video/VideoPlaybackView.h"
#include "app/views/video/VideoSurfaceWidget.h"
#include "support/PhoneClips.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QMediaDevices>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <sched.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <vector>

namespace {

using bench::Clip;
using bench::clipSeconds;
using bench::clips;
using bench::makeClip;
using bench::peerFps;

double processCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Run {
    double shownFps = 0, peer = 0, clockRate = 0, videoBehindMs = 0, coresBusy = 0, convertMs = 0;
    long due = 0, shown = 0, decoded = 0, late = 0, rough = 0;
};

Run play(const Clip& clip, const QString& path, int seconds)
{
    Run run;
    app::VideoPlayer player;
    app::VideoPlaybackView view(&player);
    view.resize(1280, 760);
    view.show();
    app::VideoSurfaceWidget* surface = view.surface();
    qint64 lastShownMs = 0;
    QObject::connect(&player, &app::VideoPlayer::positionChanged, &view, [&](qint64 ms) { lastShownMs = ms; });
    player.setSource(QUrl::fromLocalFile(path));
    player.play();
    // Past the start, where the picture waits for the sound device to wake.
    if (!QTest::qWaitFor([&] { return surface->framesPainted() > 0 && player.position() > 500; }, 60000)) {
        std::printf("  %s: no frames\n", clip.name);
        return run;
    }
    // Measured from the first second on, so opening the clip is not counted.
    QTest::qWait(1000);
    const qint64 position0 = player.position();
    const quint64 painted0 = surface->framesPainted();
    const app::PlaybackEngine::Stats stats0 = player.stats();
    const double cpu0 = processCpuSeconds();
    QElapsedTimer wall;
    wall.start();
    // How far the newest frame is behind the player's position (the sound's clock when there is
    // sound), sampled every quarter second.
    double behindSum = 0;
    int samples = 0;
    for (int waited = 0; waited < seconds * 1000; waited += 250) {
        QTest::qWait(250);
        behindSum += double(player.position() - lastShownMs);
        ++samples;
    }
    run.videoBehindMs = behindSum / samples;
    // Frames are due by the wall clock: a player that stalls shows a slowed video, not a full one.
    const double elapsed = double(wall.nsecsElapsed()) / 1e9;
    run.coresBusy = (processCpuSeconds() - cpu0) / elapsed;
    run.clockRate = double(player.position() - position0) / 1000 / elapsed;
    run.shown = long(surface->framesPainted() - painted0);
    const app::PlaybackEngine::Stats stats1 = player.stats();
    run.decoded = long(stats1.decoded - stats0.decoded);
    run.late = long(stats1.late - stats0.late);
    run.rough = long(stats1.rough - stats0.rough);
    run.convertMs = stats1.shown > stats0.shown ? (stats1.convertMs - stats0.convertMs) / double(stats1.shown - stats0.shown) : 0;
    run.due = std::lround(elapsed * clip.rate);
    run.shownFps = run.shown / elapsed;
    player.stop();
    return run;
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int seconds = argc > 1 ? std::clamp(atoi(argv[1]), 2, clipSeconds - 3) : 8;
    QTemporaryDir temporary(QDir::tempPath() + "/tess-playbackbench-XXXXXX");
    const QString folder = argc > 2 ? QString(argv[2]) : temporary.path();
    const QString filter = argc > 3 ? QString(argv[3]) : QString();
    QDir().mkpath(folder);
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    sched_getaffinity(0, sizeof cpus, &cpus);
    std::printf("%d cores allowed; sound device: %s\n", CPU_COUNT(&cpus),
                QMediaDevices::defaultAudioOutput().isNull() ? "none" : "yes");
    std::printf("clips of %d s, played for %d s each run after a settling second; min / median / max of 3 runs\n",
                clipSeconds, seconds);
    for (const Clip& clip : clips) {
        if (!filter.isEmpty() && !QString(clip.name).contains(filter))
            continue;
        const QString path = bench::clipPath(folder, clip);
        std::fprintf(stderr, "making %s ...\n", qPrintable(path));
        if (!makeClip(clip, path, clipSeconds))
            return 1;
        std::vector<double> shownFps, peer, samePeer, sameRatio, ratio, dropped, decoded, late, rough, clock, behind, busy, convert;
        for (int i = 0; i < 3; ++i) {
            std::fprintf(stderr, "  run %d, load %s", i + 1, bench::loadAverage().constData());
            const double peerRate = peerFps(path, QSize(1280, 760), clipSeconds * clip.rate);
            const double samePeerRate = peerFps(path, QSize(1280, 760), clipSeconds * clip.rate, true, clip.hlg);
            const Run run = play(clip, path, seconds);
            samePeer.push_back(samePeerRate);
            sameRatio.push_back(bench::cappedRatio(run.shownFps, samePeerRate, clip.rate));
            shownFps.push_back(run.shownFps);
            peer.push_back(peerRate);
            ratio.push_back(bench::cappedRatio(run.shownFps, peerRate, clip.rate));
            dropped.push_back(double(run.due - run.shown));
            decoded.push_back(double(run.decoded) / seconds);
            late.push_back(double(run.late));
            rough.push_back(double(run.rough));
            clock.push_back(run.clockRate);
            behind.push_back(run.videoBehindMs);
            busy.push_back(run.coresBusy);
            convert.push_back(run.convertMs);
        }
        std::printf("  %s\n", clip.name);
        bench::printStats("frames shown a second", shownFps, "fps");
        bench::printStats("ffmpeg decode + scale, same cores", peer, "fps");
        bench::printStats("shown / ffmpeg (each capped at rate)", ratio, "");
        bench::printStats(clip.hlg ? "ffmpeg to RGB, tone mapped, same cores" : "ffmpeg to RGB, same cores", samePeer, "fps");
        bench::printStats("shown / that (each capped at rate)", sameRatio, "");
        bench::printStats("dropped (due - shown)", dropped, "frames");
        bench::printStats("frames decoded a second", decoded, "fps");
        bench::printStats("decoded, dropped late", late, "frames");
        bench::printStats("decoded without in-loop filters", rough, "frames");
        bench::printStats("played at this fraction of real time", clock, "");
        bench::printStats("picture behind the position, mean", behind, "ms");
        bench::printStats("cores kept busy by the player", busy, "");
        bench::printStats("conversion to the box, wall time a frame", convert, "ms");
    }
    std::printf("load average after: %s", bench::loadAverage().constData());
    return 0;
}
