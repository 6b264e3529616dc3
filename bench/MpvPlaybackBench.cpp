// The embedded player library measured against the viewer's playback on the same clips: libmpv
// decoding on the processor and painting into memory through its software render API, at the
// viewer's 1280x760. Frames shown are counted where they are rendered; the playing position is
// read against the wall clock, and with sound the picture's lag behind it. Beside it, `ffmpeg`
// decodes and scales the same clip on the same cores. Pin it like VideoPlaybackBench, e.g.
// `taskset -c 2,3 MpvPlaybackBench 8 FOLDER`, FOLDER holding the clips VideoPlaybackBench made.
// Sound goes to PulseAudio when a server answers in $XDG_RUNTIME_DIR, else to no output. Built
// only where libmpv's development files are installed (Debian: libmpv-dev).
//
//   MpvPlaybackBench [seconds to play, default 8] FOLDER [clip name filter]

#include <mpv/client.h>
#include <mpv/render.h>

#include "support/PhoneClips.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr int width = 1280, height = 760;

double property(mpv_handle* mpv, const char* name)
{
    double value = 0;
    mpv_get_property(mpv, name, MPV_FORMAT_DOUBLE, &value);
    return value;
}

struct Run {
    double shownFps = 0, clockRate = 0, behindMs = 0;
    long shown = 0, due = 0;
};

struct Renderer {
    std::mutex mutex;
    std::condition_variable wake;
    bool pending = false;
};

Run play(const QString& path, int rate, int seconds, bool sound)
{
    Run run;
    mpv_handle* mpv = mpv_create();
    mpv_set_option_string(mpv, "vo", "libmpv");
    mpv_set_option_string(mpv, "ao", sound ? "pulse" : "null");
    mpv_set_option_string(mpv, "hwdec", "no");
    // Late frames are skipped before decoding; dropping at the output as well, which judges lateness
    // by a display this render path does not have, threw away most decoded frames.
    mpv_set_option_string(mpv, "framedrop", "decoder");
    // Scaled to the box in the decoding thread, as the peer does, so rendering is a copy.
    const QByteArray fit =
        QString("scale=w=%1:h=%2:force_original_aspect_ratio=decrease").arg(width).arg(height).toUtf8();
    mpv_set_option_string(mpv, "vf", fit.constData());
    mpv_set_option_string(mpv, "terminal", "no");
    // Further options to try, "name=value" separated by spaces, from MPV_BENCH_OPTIONS.
    for (const QString& option : qEnvironmentVariable("MPV_BENCH_OPTIONS").split(' ', Qt::SkipEmptyParts)) {
        const QStringList pair = option.split('=');
        mpv_set_option_string(mpv, pair.value(0).toUtf8().constData(), pair.value(1).toUtf8().constData());
    }
    mpv_initialize(mpv);
    int advanced = 1;
    mpv_render_param params[] = {{MPV_RENDER_PARAM_API_TYPE, const_cast<char*>(MPV_RENDER_API_TYPE_SW)},
                                 {MPV_RENDER_PARAM_ADVANCED_CONTROL, &advanced},
                                 {MPV_RENDER_PARAM_INVALID, nullptr}};
    mpv_render_context* render = nullptr;
    if (mpv_render_context_create(&render, mpv, params) < 0) {
        std::fprintf(stderr, "no software render context\n");
        mpv_terminate_destroy(mpv);
        return run;
    }
    Renderer state;
    mpv_render_context_set_update_callback(
        render,
        [](void* data) {
            auto* s = static_cast<Renderer*>(data);
            std::lock_guard lock(s->mutex);
            s->pending = true;
            s->wake.notify_one();
        },
        &state);
    std::atomic<long> shown{0};
    std::atomic<bool> quit{false};
    std::thread painter([&] {
        std::vector<unsigned char> pixels(size_t(width) * height * 4);
        int size[2] = {width, height};
        size_t stride = size_t(width) * 4;
        while (!quit) {
            {
                std::unique_lock lock(state.mutex);
                state.wake.wait_for(lock, std::chrono::milliseconds(50), [&] { return state.pending; });
                state.pending = false;
            }
            if (!(mpv_render_context_update(render) & MPV_RENDER_UPDATE_FRAME))
                continue;
            mpv_render_param rp[] = {{MPV_RENDER_PARAM_SW_SIZE, size},
                                     {MPV_RENDER_PARAM_SW_FORMAT, const_cast<char*>("rgb0")},
                                     {MPV_RENDER_PARAM_SW_STRIDE, &stride},
                                     {MPV_RENDER_PARAM_SW_POINTER, pixels.data()},
                                     {MPV_RENDER_PARAM_INVALID, nullptr}};
            mpv_render_context_render(render, rp);
            ++shown;
        }
    });
    const QByteArray file = path.toUtf8();
    const char* command[] = {"loadfile", file.constData(), nullptr};
    mpv_command(mpv, command);
    QElapsedTimer opening;
    opening.start();
    while ((shown == 0 || property(mpv, "time-pos") <= 0) && opening.elapsed() < 60000)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const double position0 = property(mpv, "time-pos");
    const long shown0 = shown;
    QElapsedTimer wall;
    wall.start();
    double behindSum = 0;
    int samples = 0;
    for (int waited = 0; waited < seconds * 1000; waited += 250) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        // avsync: the sound's position minus the picture's, in seconds.
        behindSum += property(mpv, "avsync") * 1000;
        ++samples;
    }
    const double elapsed = double(wall.nsecsElapsed()) / 1e9;
    run.clockRate = (property(mpv, "time-pos") - position0) / elapsed;
    run.shown = shown - shown0;
    run.due = std::lround(elapsed * rate);
    run.shownFps = run.shown / elapsed;
    run.behindMs = sound ? behindSum / samples : 0;
    quit = true;
    painter.join();
    mpv_render_context_free(render);
    mpv_terminate_destroy(mpv);
    return run;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    // libmpv reads numbers the C way.
    setlocale(LC_NUMERIC, "C");
    if (argc < 3) {
        std::fprintf(stderr, "usage: MpvPlaybackBench SECONDS FOLDER [FILTER]\n");
        return 2;
    }
    const int seconds = std::clamp(atoi(argv[1]), 2, bench::clipSeconds - 3);
    const QString folder = argv[2];
    const QString filter = argc > 3 ? QString(argv[3]) : QString();
    const bool sound = !qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR") &&
                       QFileInfo::exists(qEnvironmentVariable("XDG_RUNTIME_DIR") + "/pulse/native");
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    sched_getaffinity(0, sizeof cpus, &cpus);
    std::printf("%d cores allowed; libmpv %lu.%lu, software rendering; sound: %s\n", CPU_COUNT(&cpus),
                mpv_client_api_version() >> 16, mpv_client_api_version() & 0xffff, sound ? "pulse" : "none");
    for (const bench::Clip& clip : bench::clips) {
        if (!filter.isEmpty() && !QString(clip.name).contains(filter))
            continue;
        const QString path = bench::clipPath(folder, clip);
        if (!QFileInfo::exists(path)) {
            std::fprintf(stderr, "missing %s: run VideoPlaybackBench with this folder first\n", qPrintable(path));
            return 1;
        }
        std::vector<double> shownFps, peer, ratio, dropped, clock, behind;
        for (int i = 0; i < 3; ++i) {
            std::fprintf(stderr, "  run %d, load %s", i + 1, bench::loadAverage().constData());
            const double peerRate = bench::peerFps(path, QSize(width, height), bench::clipSeconds * clip.rate);
            const Run run = play(path, clip.rate, seconds, sound);
            shownFps.push_back(run.shownFps);
            peer.push_back(peerRate);
            ratio.push_back(bench::cappedRatio(run.shownFps, peerRate, clip.rate));
            dropped.push_back(double(run.due - run.shown));
            clock.push_back(run.clockRate);
            behind.push_back(run.behindMs);
        }
        std::printf("  %s\n", clip.name);
        bench::printStats("frames shown a second", shownFps, "fps");
        bench::printStats("ffmpeg decode + scale, same cores", peer, "fps");
        bench::printStats("shown / ffmpeg (each capped at rate)", ratio, "");
        bench::printStats("dropped (due - shown)", dropped, "frames");
        bench::printStats("played at this fraction of real time", clock, "");
        bench::printStats("picture behind the sound, mean", behind, "ms");
    }
    std::printf("load average after: %s", bench::loadAverage().constData());
    return 0;
}
