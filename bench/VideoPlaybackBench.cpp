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

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
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

struct Clip {
    const char* name;
    const char* size;
    int rate;
    bool hlg;
};

// Long enough that the measured stretch, after the opening and a settling second, never reaches
// the end; kept clips are reused whatever the seconds played.
constexpr int clipSeconds = 11;

const Clip clips[] = {
    {"4K 8-bit 30 fps", "3840x2160", 30, false},
    {"4K 10-bit HLG 30 fps", "3840x2160", 30, true},
    {"1080p 8-bit 60 fps", "1920x1080", 60, false},
    {"1080p 10-bit HLG 60 fps", "1920x1080", 60, true},
};

// Moving pictures under sensor-like noise, so the encoder spends its 45 Mb/s as a phone's does.
bool makeClip(const Clip& clip, const QString& path, int seconds)
{
    if (QFileInfo(path).size() > 0)
        return true;
    QString video = QString("testsrc2=duration=%1:size=%2:rate=%3,noise=alls=18:allf=t")
                        .arg(seconds)
                        .arg(clip.size)
                        .arg(clip.rate);
    QStringList args{"-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi", "-i", video, "-f",
                     "lavfi", "-i", QString("sine=frequency=440:duration=%1").arg(seconds), "-c:v", "libx265",
                     "-preset", "superfast", "-b:v", "45M", "-maxrate", "45M", "-bufsize", "45M", "-tag:v", "hvc1"};
    QString x265 = "log-level=error";
    if (clip.hlg) {
        args << "-pix_fmt" << "yuv420p10le" << "-color_primaries" << "bt2020" << "-color_trc" << "arib-std-b67"
             << "-colorspace" << "bt2020nc";
        x265 += ":colorprim=bt2020:transfer=arib-std-b67:colormatrix=bt2020nc";
    } else {
        args << "-pix_fmt" << "yuv420p";
    }
    args << "-x265-params" << x265 << "-c:a" << "aac" << "-shortest" << (path + ".part.mp4");
    QProcess p;
    p.start("ffmpeg", args);
    if (!p.waitForFinished(-1) || p.exitCode() != 0) {
        std::fprintf(stderr, "%s", p.readAllStandardError().constData());
        return false;
    }
    return QFile::rename(path + ".part.mp4", path);
}

// Frames a second for ffmpeg decoding the clip and scaling it into the box, on the cores this
// process may use (a child keeps its parent's affinity).
// With `shown`, ffmpeg also ends where the player does: 32-bit RGB, HLG tone mapped by its own filters.
double peerFps(const QString& path, QSize box, int frames, bool shown = false, bool hlg = false)
{
    QString filters = QString("scale=%1:%2:force_original_aspect_ratio=decrease").arg(box.width()).arg(box.height());
    if (shown && hlg)
        filters += ":flags=area,zscale=t=linear:npl=100,format=gbrpf32le,zscale=p=bt709,tonemap=tonemap=hable:desat=0,"
                   "zscale=t=bt709,format=bgra";
    else if (shown)
        filters += ":flags=area,format=bgra";
    QProcess p;
    QElapsedTimer t;
    t.start();
    p.start("ffmpeg", {"-nostdin", "-hide_banner", "-loglevel", "error", "-i", path, "-an", "-vf", filters, "-f",
                       "null", "-"});
    if (!p.waitForFinished(-1) || p.exitCode() != 0)
        return 0;
    return frames / (double(t.nsecsElapsed()) / 1e9);
}

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

template <typename T>
void stats(const char* what, std::vector<T> v, const char* unit)
{
    std::sort(v.begin(), v.end());
    std::printf("    %-34s %8.2f / %8.2f / %8.2f %s\n", what, double(v.front()), double(v[v.size() / 2]),
                double(v.back()), unit);
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
        const QString path = QDir(folder).filePath(QString(clip.name).replace(' ', '-') + ".mp4");
        std::fprintf(stderr, "making %s ...\n", qPrintable(path));
        if (!makeClip(clip, path, clipSeconds))
            return 1;
        std::vector<double> shownFps, peer, samePeer, sameRatio, ratio, dropped, decoded, late, rough, clock, behind, busy, convert;
        for (int i = 0; i < 3; ++i) {
            QFile load("/proc/loadavg");
            if (load.open(QIODevice::ReadOnly))
                std::fprintf(stderr, "  run %d, load %s", i + 1, load.readLine().constData());
            const double peerRate = peerFps(path, QSize(1280, 760), clipSeconds * clip.rate);
            const double samePeerRate = peerFps(path, QSize(1280, 760), clipSeconds * clip.rate, true, clip.hlg);
            const Run run = play(clip, path, seconds);
            samePeer.push_back(samePeerRate);
            sameRatio.push_back(samePeerRate > 0 ? std::min(run.shownFps, double(clip.rate))
                                        / std::min(samePeerRate, double(clip.rate)) : 0);
            shownFps.push_back(run.shownFps);
            peer.push_back(peerRate);
            ratio.push_back(peerRate > 0 ? std::min(run.shownFps, double(clip.rate)) / std::min(peerRate, double(clip.rate)) : 0);
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
        stats("frames shown a second", shownFps, "fps");
        stats("ffmpeg decode + scale, same cores", peer, "fps");
        stats("shown / ffmpeg (each capped at rate)", ratio, "");
        stats(clip.hlg ? "ffmpeg to RGB, tone mapped, same cores" : "ffmpeg to RGB, same cores", samePeer, "fps");
        stats("shown / that (each capped at rate)", sameRatio, "");
        stats("dropped (due - shown)", dropped, "frames");
        stats("frames decoded a second", decoded, "fps");
        stats("decoded, dropped late", late, "frames");
        stats("decoded without in-loop filters", rough, "frames");
        stats("played at this fraction of real time", clock, "");
        stats("picture behind the position, mean", behind, "ms");
        stats("cores kept busy by the player", busy, "");
        stats("conversion to the box, wall time a frame", convert, "ms");
    }
    QFile load("/proc/loadavg");
    if (load.open(QIODevice::ReadOnly))
        std::printf("load average after: %s", load.readAll().constData());
    return 0;
}
