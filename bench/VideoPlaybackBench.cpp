// Video in the viewer, as a user meets it: a 1080p H.264 and a 4K HEVC clip, 30 frames a second
// and 12 s long, played through the viewer's own video view at 1280x760 for 10 s. Reports the
// frames the decoder handed over against the frames the clip has in that time, the frames the
// converter dropped, the frames shown, and the main thread's CPU per shown frame.
// Peer, in the same run and on the same frames: the conversion the view used before (Qt's own
// conversion to a full-size picture, then a scale to the window) against ours (one swscale pass).
// Run it pinned the way it is to be judged, e.g. `taskset -c 0,1 VideoPlaybackBench`.
//
//   VideoPlaybackBench [seconds to play, default 10]

#include "app/views/video/VideoFrameScaler.h"
#include "app/views/video/VideoPlaybackView.h"
#include "app/views/video/VideoSurfaceWidget.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMediaPlayer>
#include <QMutex>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>
#include <QVideoSink>

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <cstdio>
#include <ctime>
#include <vector>

namespace {

double threadCpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

bool makeClip(const QString& path, const QString& size, const QString& codec, int seconds)
{
    QProcess p;
    p.start("ffmpeg", {"-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                       QString("testsrc2=duration=%1:size=%2:rate=30").arg(seconds).arg(size), "-f", "lavfi", "-i",
                       QString("sine=frequency=440:duration=%1").arg(seconds), "-c:v", codec, "-preset", "ultrafast",
                       "-pix_fmt", "yuv420p", "-c:a", "aac", "-shortest", path});
    return p.waitForFinished(600000) && p.exitCode() == 0;
}

// A copy of a decoded frame in our own memory, so keeping it does not hold the decoder's pool.
QVideoFrame copyOf(const QVideoFrame& source)
{
    QVideoFrame in = source;
    if (!in.map(QVideoFrame::ReadOnly))
        return {};
    QVideoFrame out(in.surfaceFormat());
    if (!out.map(QVideoFrame::WriteOnly)) {
        in.unmap();
        return {};
    }
    for (int i = 0; i < in.planeCount(); ++i)
        std::memcpy(out.bits(i), in.bits(i), size_t(std::min(in.mappedBytes(i), out.mappedBytes(i))));
    out.unmap();
    in.unmap();
    return out;
}

// What the view did before: Qt's conversion at full size, then a skip down to twice the window
// and a smooth scale to it.
QImage twoPasses(const QVideoFrame& frame, QSize box)
{
    QImage image = frame.toImage();
    if (image.width() > 2 * box.width() && image.height() > 2 * box.height())
        image = image.scaled(box * 2, Qt::KeepAspectRatio, Qt::FastTransformation);
    return image.scaled(box, Qt::KeepAspectRatio, Qt::SmoothTransformation);
}

void play(const QString& label, const QString& clip, int seconds)
{
    QMediaPlayer player;
    app::VideoPlaybackView view(&player);
    view.resize(1280, 760);
    view.show();
    app::VideoFrameConverter* converter = view.surface()->converter();
    std::atomic<int> decoded{0};
    std::atomic<bool> counting{false};
    QMutex keptLock;
    std::vector<QVideoFrame> kept;
    // Counted on the decoder's thread, before the converter sees the frame.
    QObject::connect(
        view.surface()->videoSink(), &QVideoSink::videoFrameChanged, &view,
        [&](const QVideoFrame& frame) {
            if (!counting || !frame.isValid())
                return;
            if (++decoded % 30 == 0) {
                QMutexLocker lock(&keptLock);
                if (kept.size() < 8)
                    kept.push_back(copyOf(frame));
            }
        },
        Qt::DirectConnection);
    int shown = 0;
    QObject::connect(converter, &app::VideoFrameConverter::imageReady, &view, [&] { ++shown; });
    player.setSource(QUrl::fromLocalFile(clip));
    player.play();
    if (!QTest::qWaitFor([&] { return shown > 0 && player.position() > 0; }, 30000)) {
        std::printf("%s: no frames\n", qPrintable(label));
        return;
    }
    const qint64 startPosition = player.position();
    const int startShown = shown;
    const quint64 startConverted = converter->converted(), startDropped = converter->dropped();
    const double startConversion = converter->conversionMs();
    counting = true;
    const double cpu0 = threadCpuMs();
    QElapsedTimer wall;
    wall.start();
    QTest::qWait(seconds * 1000);
    counting = false;
    const double cpu = threadCpuMs() - cpu0;
    const double played = double(player.position() - startPosition) / 1000;
    const int frames = shown - startShown;
    const quint64 converted = converter->converted() - startConverted;
    const quint64 dropped = converter->dropped() - startDropped;
    const double conversion = converter->conversionMs() - startConversion;
    player.stop();
    std::printf("%s: %.1f s played in %.1f s; %d frames decoded of %.0f in the clip over that time, %llu converted, "
                "%llu dropped by the converter, %d shown; main thread %.2f ms CPU per shown frame; conversion %.2f ms "
                "per frame off it\n",
                qPrintable(label), played, double(wall.elapsed()) / 1000, decoded.load(), played * 30,
                (unsigned long long)converted, (unsigned long long)dropped, frames, frames > 0 ? cpu / frames : -1.0,
                converted > 0 ? conversion / double(converted) : -1.0);

    // The peer on the same frames, one frame at a time as the view converts them.
    const QSize box = view.surface()->size() * view.surface()->devicePixelRatioF();
    app::VideoFrameScaler scaler;
    std::vector<double> ours, before;
    for (const QVideoFrame& frame : kept) {
        QElapsedTimer t;
        t.start();
        const QImage a = scaler.convert(frame, box);
        ours.push_back(double(t.nsecsElapsed()) / 1e6);
        t.restart();
        const QImage b = twoPasses(frame, box);
        before.push_back(double(t.nsecsElapsed()) / 1e6);
        if (a.size() != b.size())
            std::printf("  sizes differ: %dx%d against %dx%d\n", a.width(), a.height(), b.width(), b.height());
    }
    std::sort(ours.begin(), ours.end());
    std::sort(before.begin(), before.end());
    if (!ours.empty())
        std::printf("  per frame to a %dx%d picture, median of %zu: one pass on %d threads %.1f ms, Qt's conversion "
                    "and two scales %.1f ms; ratio %.2f\n",
                    box.width(), box.height(), ours.size(), app::VideoFrameScaler::threadCount(),
                    ours[ours.size() / 2], before[before.size() / 2], ours[ours.size() / 2] / before[before.size() / 2]);
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(2, atoi(argv[1])) : 10;
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    sched_getaffinity(0, sizeof cpus, &cpus);
    QTemporaryDir dir(QDir::tempPath() + "/tess-playbackbench-XXXXXX");
    std::fprintf(stderr, "generating clips in %s ...\n", qPrintable(dir.path()));
    const QString hd = dir.filePath("clip-1080p.mp4"), uhd = dir.filePath("clip-4k.mp4");
    if (!makeClip(hd, "1920x1080", "libx264", seconds + 2) || !makeClip(uhd, "3840x2160", "libx265", seconds + 2))
        return 1;
    std::printf("%d cores allowed; load average before: ", CPU_COUNT(&cpus));
    QFile load("/proc/loadavg");
    if (load.open(QIODevice::ReadOnly))
        std::printf("%s", load.readAll().constData());
    play("1080p H.264 30 fps", hd, seconds);
    play("4K HEVC 30 fps", uhd, seconds);
    return 0;
}
