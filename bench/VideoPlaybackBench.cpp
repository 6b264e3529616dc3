// Video as a user watches a phone's clip: the program's own window (its library page, the video
// opened in its viewer) on the X display at 1920x1080, the video at the size the viewer gives it,
// the sound going to a sound server's null sink, the program pinned to two cores. Frames shown are
// the distinct pictures painted to the window against the wall clock; with --screen the display
// itself is also captured (on the other cores) and its distinct pictures counted. Beside it, in the
// same run on the same two cores, `ffmpeg -threads 2` decodes the same clip and scales it to the
// same size: once ending where the player ends (32-bit RGB, HLG tone mapped by ffmpeg's own
// filters), once in YUV only. Clips are made at run time as phones make them (x265 `veryfast`
// with SAO, or x264, sensor-like grain, the phone's bit rate) and kept in --dir for the next run;
// their frame counts are read from the files.
//
// Without a DISPLAY it starts Xvfb at 1920x1080; it always starts a PulseAudio of its own with a
// null sink in a private folder. Both run on the cores not measured, and both end with the run.
//
// --perf FILE profiles the program (perf, on the other cores) over the first run's measured stretch,
// into FILE-1, FILE-2, ... by clip.
//
//   VideoPlaybackBench [--dir DIR] [--seconds 8] [--runs 3] [--cores 2,3] [--filter TEXT] [--screen]
//                      [--perf FILE]

#include "app/models/SidebarDestination.h"
#include "app/platform/playback/VideoPlayer.h"
#include "app/platform/volumes/VolumeMonitor.h"
#include "app/services/AppContext.h"
#include "app/services/library/LibraryStore.h"
#include "app/services/noncaptured/NonCapturedIndex.h"
#include "app/services/thumbnails/ThumbnailProvider.h"
#include "app/views/library/LibraryDetailView.h"
#include "app/views/shell/ContentView.h"
#include "app/views/shell/MainWindow.h"
#include "app/views/video/VideoPlaybackView.h"
#include "app/views/video/VideoSurfaceWidget.h"
#include "app/views/viewer/PhotoDetailView.h"
#include "support/PathBookmarks.h"
#include "support/PhoneClips.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMediaDevices>
#include <QPointer>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <vector>

namespace {

using bench::Clip;

struct Options {
    QString folder;
    int seconds = 8;
    int runs = 3;
    std::vector<int> cores;
    // The other cores this process could use before it pinned itself.
    std::vector<int> others;
    QString filter;
    bool screen = false;
    // Where perf keeps a profile of the program over the first run's measured stretch of each clip.
    QString perf;
};

QString coreList(const std::vector<int>& cores)
{
    QStringList names;
    for (const int core : cores)
        names << QString::number(core);
    return names.join(',');
}

// The allowed cores other than the measured ones: where the display and the sound server run.
std::vector<int> otherCores(const std::vector<int>& measured)
{
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    sched_getaffinity(0, sizeof allowed, &allowed);
    std::vector<int> others;
    for (int i = 0; i < CPU_SETSIZE; ++i)
        if (CPU_ISSET(i, &allowed) && std::find(measured.begin(), measured.end(), i) == measured.end())
            others.push_back(i);
    return others;
}

bool pin(pid_t pid, const std::vector<int>& cores)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    for (const int core : cores)
        CPU_SET(core, &set);
    return !cores.empty() && sched_setaffinity(pid, sizeof set, &set) == 0;
}

double secondsOf(const timeval& t)
{
    return double(t.tv_sec) + double(t.tv_usec) / 1e6;
}

double processCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return secondsOf(usage.ru_utime) + secondsOf(usage.ru_stime);
}

// A process of the benchmark's own (the display, the sound server): started on the given cores with
// extra environment, ended by its pid with the object.
class Helper {
public:
    Helper() = default;
    Helper(const Helper&) = delete;
    Helper& operator=(const Helper&) = delete;
    ~Helper()
    {
        if (pid_ <= 0)
            return;
        kill(pid_, SIGTERM);
        int status = 0;
        for (int i = 0; i < 50 && waitpid(pid_, &status, WNOHANG) == 0; ++i)
            usleep(100'000);
        if (waitpid(pid_, &status, WNOHANG) == 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
    }

    // `keepFd` stays open in the child (Xvfb writes its display number there).
    bool start(const QStringList& command, const QStringList& environment, const std::vector<int>& cores,
               int keepFd = -1)
    {
        std::vector<QByteArray> args;
        for (const QString& a : command)
            args.push_back(a.toLocal8Bit());
        std::vector<char*> argv;
        for (QByteArray& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<QByteArray> env;
        for (const QString& e : environment)
            env.push_back(e.toLocal8Bit());
        pid_ = fork();
        if (pid_ < 0)
            return false;
        if (pid_ == 0) {
            for (QByteArray& e : env)
                putenv(e.data());
            pin(0, cores);
            // Quiet unless it fails to start.
            const int null = open("/dev/null", O_WRONLY);
            if (null >= 0)
                dup2(null, STDOUT_FILENO);
            (void)keepFd;
            execvp(argv[0], argv.data());
            _exit(127);
        }
        return true;
    }
    pid_t pid() const { return pid_; }
    // User and system time of the process so far.
    double cpuSeconds() const
    {
        QFile stat(QString("/proc/%1/stat").arg(pid_));
        if (pid_ <= 0 || !stat.open(QIODevice::ReadOnly))
            return 0;
        const QByteArray line = stat.readAll();
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        // Fields 14 and 15 of the line, counted after the name (which ends at the last ')').
        if (fields.size() < 13)
            return 0;
        return double(fields[11].toLongLong() + fields[12].toLongLong()) / double(sysconf(_SC_CLK_TCK));
    }

private:
    pid_t pid_ = -1;
};

// Xvfb on a display number it picks itself.
bool startDisplay(Helper& display, const std::vector<int>& cores, QByteArray& name)
{
    int fds[2];
    if (pipe(fds) != 0)
        return false;
    if (!display.start({"Xvfb", "-screen", "0", "1920x1080x24", "-nolisten", "tcp", "-displayfd",
                        QString::number(fds[1])},
                       {}, cores, fds[1])) {
        close(fds[0]);
        close(fds[1]);
        return false;
    }
    close(fds[1]);
    QByteArray number;
    char c = 0;
    while (read(fds[0], &c, 1) == 1 && c != '\n')
        number += c;
    close(fds[0]);
    if (number.isEmpty())
        return false;
    name = ":" + number;
    return true;
}

bool startSoundServer(Helper& sound, const std::vector<int>& cores, const QString& dir)
{
    const QString socket = dir + "/native";
    if (!sound.start({"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--disable-shm=yes",
                      "--log-level=error", "-L", "module-null-sink sink_name=bench", "-L",
                      "module-native-protocol-unix auth-anonymous=1 socket=" + socket},
                     {"HOME=" + dir, "XDG_RUNTIME_DIR=" + dir}, cores))
        return false;
    for (int i = 0; i < 100 && !QFileInfo::exists(socket); ++i)
        usleep(100'000);
    if (!QFileInfo::exists(socket))
        return false;
    qputenv("PULSE_SERVER", ("unix:" + socket).toUtf8());
    return true;
}

// The screen's pictures in a rectangle, captured on the other cores at twice the clip's rate:
// distinct pictures a second, and the rate the capture kept.
struct ScreenCount {
    double distinctFps = 0, captureFps = 0;
};

class ScreenCapture {
public:
    void start(const QByteArray& display, QRect area, int rate, int seconds, const std::vector<int>& cores)
    {
        grab_.start("taskset", {"-c", coreList(cores), "ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error",
                                "-f", "x11grab", "-framerate", QString::number(rate * 2), "-video_size",
                                QString("%1x%2").arg(area.width()).arg(area.height()), "-i",
                                QString("%1.0+%2,%3").arg(QString(display)).arg(area.x()).arg(area.y()), "-t",
                                QString::number(seconds), "-f", "framemd5", "-"});
    }
    ScreenCount finish()
    {
        ScreenCount count;
        if (!grab_.waitForFinished(60'000) || grab_.exitCode() != 0)
            return count;
        // "#tb 0: 1/1000000" then "0, pts, dts, duration, size, md5" a frame.
        double base = 1;
        QByteArray last;
        long distinct = 0, frames = 0;
        double first = -1, end = 0;
        for (const QByteArray& line : grab_.readAllStandardOutput().split('\n')) {
            if (line.startsWith("#tb 0:")) {
                const QList<QByteArray> ratio = line.mid(6).trimmed().split('/');
                if (ratio.size() == 2 && ratio[1].toDouble() > 0)
                    base = ratio[0].toDouble() / ratio[1].toDouble();
                continue;
            }
            const QList<QByteArray> fields = line.split(',');
            if (line.startsWith('#') || fields.size() < 6)
                continue;
            const double pts = fields[1].trimmed().toDouble() * base;
            first = first < 0 ? pts : first;
            end = pts;
            ++frames;
            const QByteArray md5 = fields[5].trimmed();
            if (md5 != last)
                ++distinct;
            last = md5;
        }
        if (frames > 1 && end > first) {
            count.distinctFps = double(distinct - 1) / (end - first);
            count.captureFps = double(frames - 1) / (end - first);
        }
        return count;
    }

private:
    QProcess grab_;
};

struct Run {
    double shownFps = 0, clockRate = 0, behindMs = 0, cores = 0, displayCores = 0, convertMs = 0, decodedFps = 0;
    double peerShown = 0, peerPlain = 0;
    long late = 0, rough = 0;
    QSize frame, box;
    ScreenCount screen;
};

app::LibraryDetailView* videoPage(app::ContentView& content, const app::PhotoLibrary& library)
{
    content.setSelection(app::SidebarDestination::videos(library.id));
    return qobject_cast<app::LibraryDetailView*>(content.currentPage());
}

Run play(app::LibraryDetailView& page, const QString& path, const Clip& clip, const Options& options,
         const QByteArray& display, const Helper& displayServer, const QString& perfFile)
{
    Run run;
    const app::MediaItems items = page.displayedItems();
    const auto item = std::find_if(items.begin(), items.end(), [&](const app::MediaItem& i) { return i.url == path; });
    if (item == items.end()) {
        std::printf("  %s: not in the library page\n", clip.name);
        return run;
    }
    // As a double-click in the grid opens it.
    page.openItem(*item);
    QPointer<app::PhotoDetailView> viewer = qobject_cast<app::PhotoDetailView*>(page.presentedViewer());
    if (!viewer || !viewer->player() || !viewer->videoView()) {
        std::printf("  %s: the viewer did not open a video\n", clip.name);
        return run;
    }
    app::VideoPlayer& player = *viewer->player();
    app::VideoSurfaceWidget& surface = *viewer->videoView()->surface();
    qint64 lastShownMs = 0;
    QObject::connect(&player, &app::VideoPlayer::positionChanged, &surface, [&](qint64 ms) { lastShownMs = ms; });
    // Past the start, where the picture waits for the sound device to wake, and a settling second.
    if (!QTest::qWaitFor([&] { return surface.framesPainted() > 0 && player.position() > 500; }, 60000)) {
        std::printf("  %s: no frames\n", clip.name);
        return run;
    }
    QTest::qWait(1000);
    ScreenCapture capture;
    if (options.screen) {
        // The picture above the controls, where only the video changes.
        const QImage shown = surface.currentImage();
        const QSize size = shown.size().scaled(surface.size(), Qt::KeepAspectRatio);
        QRect area(surface.mapToGlobal(QPoint((surface.width() - size.width()) / 2,
                                              (surface.height() - size.height()) / 2)),
                   QSize(size.width(), size.height() * 2 / 3));
        capture.start(display, area, clip.rate, options.seconds, options.others);
    }
    QProcess perf;
    if (!perfFile.isEmpty())
        perf.start("taskset", {"-c", coreList(options.others), "perf", "record", "-q", "-e", "cpu-clock",
                               "-g", "--no-inherit", "-p", QString::number(getpid()), "-o", perfFile, "--", "sleep",
                               QString::number(options.seconds)});
    const qint64 position0 = player.position();
    const quint64 painted0 = surface.framesPainted();
    const app::PlaybackEngine::Stats stats0 = player.stats();
    const double cpu0 = processCpuSeconds();
    const double display0 = displayServer.cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    // How far the newest picture is behind the position (the sound's clock), every quarter second.
    double behindSum = 0;
    int samples = 0;
    while (wall.elapsed() < options.seconds * 1000) {
        QTest::qWait(250);
        behindSum += double(player.position() - lastShownMs);
        ++samples;
    }
    const double elapsed = double(wall.nsecsElapsed()) / 1e9;
    run.cores = (processCpuSeconds() - cpu0) / elapsed;
    run.displayCores = (displayServer.cpuSeconds() - display0) / elapsed;
    run.behindMs = behindSum / std::max(samples, 1);
    run.clockRate = double(player.position() - position0) / 1000 / elapsed;
    run.shownFps = double(surface.framesPainted() - painted0) / elapsed;
    const app::PlaybackEngine::Stats stats1 = player.stats();
    run.decodedFps = double(stats1.decoded - stats0.decoded) / elapsed;
    run.late = long(stats1.late - stats0.late);
    run.rough = long(stats1.rough - stats0.rough);
    run.convertMs =
        stats1.shown > stats0.shown ? (stats1.convertMs - stats0.convertMs) / double(stats1.shown - stats0.shown) : 0;
    run.frame = surface.currentImage().size();
    run.box = surface.size() * surface.devicePixelRatioF();
    if (options.screen)
        run.screen = capture.finish();
    if (!perfFile.isEmpty() && (!perf.waitForFinished(30'000) || perf.exitCode() != 0))
        std::fprintf(stderr, "perf failed: %s\n", perf.readAllStandardError().constData());
    viewer->requestClose();
    if (!QTest::qWaitFor([&] { return viewer.isNull(); }, 10000))
        std::fprintf(stderr, "  the viewer did not close\n");
    return run;
}

bool parse(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; ++i) {
        const QByteArray a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--dir" && hasValue)
            options.folder = QString::fromLocal8Bit(argv[++i]);
        else if (a == "--seconds" && hasValue)
            options.seconds = std::clamp(atoi(argv[++i]), 2, bench::clipSeconds - 3);
        else if (a == "--runs" && hasValue)
            options.runs = std::max(1, atoi(argv[++i]));
        else if (a == "--filter" && hasValue)
            options.filter = QString::fromLocal8Bit(argv[++i]);
        else if (a == "--screen")
            options.screen = true;
        else if (a == "--perf" && hasValue)
            options.perf = QString::fromLocal8Bit(argv[++i]);
        else if (a == "--cores" && hasValue) {
            options.cores.clear();
            for (const QByteArray& core : QByteArray(argv[++i]).split(','))
                options.cores.push_back(core.toInt());
        } else {
            std::fprintf(stderr, "usage: VideoPlaybackBench [--dir DIR] [--seconds N] [--runs N] [--cores A,B] "
                                 "[--filter TEXT] [--screen] [--perf FILE]\n");
            return false;
        }
    }
    if (options.cores.empty()) {
        // The last two cores this process may use.
        const std::vector<int> all = otherCores({});
        if (all.size() >= 2)
            options.cores = {all[all.size() - 2], all.back()};
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!parse(argc, argv, options))
        return 2;
    QTemporaryDir temporary(QDir::tempPath() + "/tess-playbackbench-XXXXXX");
    if (options.folder.isEmpty())
        options.folder = temporary.filePath("clips");
    QDir().mkpath(options.folder);
    options.others = otherCores(options.cores);
    const std::vector<int>& others = options.others;

    // The clips first, on every core.
    std::vector<const Clip*> chosen;
    std::vector<int> frameCounts;
    for (const Clip& clip : bench::clips) {
        if (!options.filter.isEmpty() && !QString(clip.name).contains(options.filter, Qt::CaseInsensitive))
            continue;
        const QString path = bench::clipPath(options.folder, clip);
        std::fprintf(stderr, "making %s ...\n", qPrintable(path));
        if (!bench::makeClip(clip, path, bench::clipSeconds))
            return 1;
        chosen.push_back(&clip);
        frameCounts.push_back(bench::countFrames(path));
    }

    // The display and the sound server, off the measured cores; the program's state in a folder of its own.
    Helper display, sound;
    QByteArray displayName = qgetenv("DISPLAY");
    if (displayName.isEmpty()) {
        if (!startDisplay(display, others, displayName)) {
            std::fprintf(stderr, "Xvfb did not start\n");
            return 1;
        }
        qputenv("DISPLAY", displayName);
    }
    QDir().mkpath(temporary.filePath("sound"));
    if (!startSoundServer(sound, others, temporary.filePath("sound"))) {
        std::fprintf(stderr, "pulseaudio did not start\n");
        return 1;
    }
    qputenv("QT_QPA_PLATFORM", "xcb");
    for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"}) {
        const QString dir = temporary.filePath(QString(name).toLower());
        QDir().mkpath(dir);
        qputenv(name, dir.toLocal8Bit());
    }
    // From here on every thread of the program, and every ffmpeg it starts, shares two cores.
    if (!pin(0, options.cores)) {
        std::fprintf(stderr, "cannot pin to cores %s\n", qPrintable(coreList(options.cores)));
        return 1;
    }

    QApplication application(argc, argv);
    bench::PathBookmarks bookmarks;
    app::VolumeMonitor volumes;
    app::LibraryStore store({&bookmarks, &volumes, nullptr, nullptr, {}}, temporary.filePath("store"));
    QSettings settings(temporary.filePath("settings.ini"), QSettings::IniFormat);
    app::NonCapturedIndex::Environment nonCapturedEnvironment;
    nonCapturedEnvironment.settingsFile = temporary.filePath("settings.ini");
    nonCapturedEnvironment.cacheDirectory = temporary.filePath("noncaptured");
    app::NonCapturedIndex nonCaptured(nonCapturedEnvironment);
    app::AppContext context;
    context.store = &store;
    context.settings = &settings;
    context.thumbnails = &app::ThumbnailProvider::shared();
    context.nonCaptured = &nonCaptured;
    const app::PhotoLibrary library = *store.addLibrary(QFileInfo(options.folder).absoluteFilePath(), "手机视频");

    app::MainWindow window(context);
    // A window filling the screen, as a user watching a video keeps it.
    window.setGeometry(0, 0, 1920, 1080);
    window.show();
    app::LibraryDetailView* page = videoPage(*window.contentView(), library);
    if (!page || !QTest::qWaitFor([&] { return page->displayedItems().size() >= qsizetype(chosen.size()); }, 60000)) {
        std::fprintf(stderr, "the library page did not list the clips\n");
        return 1;
    }
    std::printf("display %s (%s), sound: %s; program pinned to cores %s, display and sound server on %s\n",
                displayName.constData(), display.pid() > 0 ? "Xvfb 1920x1080" : "given",
                QMediaDevices::defaultAudioOutput().isNull() ? "none" : "PulseAudio null sink",
                qPrintable(coreList(options.cores)), qPrintable(coreList(others)));
    std::printf("clips of %d s, %d s measured each run after a settling second; min / median / max of %d runs\n",
                bench::clipSeconds, options.seconds, options.runs);

    struct Row {
        const Clip* clip;
        double shown, peer, ratio, cores;
    };
    std::vector<Row> table;
    for (size_t c = 0; c < chosen.size(); ++c) {
        const Clip& clip = *chosen[c];
        const QString path = QFileInfo(bench::clipPath(options.folder, clip)).absoluteFilePath();
        const int frames = frameCounts[c];
        std::vector<double> shown, peerShown, peerPlain, ratio, plainRatio, clock, behind, cores, displayCores,
            convert, decoded, late, rough, screen, captureRate;
        QSize frame, box;
        for (int i = 0; i < options.runs; ++i) {
            std::fprintf(stderr, "  %s, run %d, load %s\n", clip.name, i + 1, bench::loadAverage().constData());
            const QString perfFile = options.perf.isEmpty() || i > 0 ? QString() : options.perf + QString("-%1").arg(c + 1);
            const Run run = play(*page, path, clip, options, displayName, display, perfFile);
            if (run.frame.isEmpty())
                return 1;
            frame = run.frame;
            box = run.box;
            // The peer makes what the player made, at the size it made it.
            const double peer = bench::peerFps(path, run.frame, frames, true, clip);
            const double plain = bench::peerFps(path, run.frame, frames, false, clip);
            shown.push_back(run.shownFps);
            peerShown.push_back(peer);
            peerPlain.push_back(plain);
            ratio.push_back(bench::cappedRatio(run.shownFps, peer, clip.rate));
            plainRatio.push_back(bench::cappedRatio(run.shownFps, plain, clip.rate));
            clock.push_back(run.clockRate);
            behind.push_back(run.behindMs);
            cores.push_back(run.cores);
            displayCores.push_back(run.displayCores);
            convert.push_back(run.convertMs);
            decoded.push_back(run.decodedFps);
            late.push_back(double(run.late));
            rough.push_back(double(run.rough));
            if (options.screen) {
                screen.push_back(run.screen.distinctFps);
                captureRate.push_back(run.screen.captureFps);
            }
        }
        std::printf("  %s: %d frames in the file, %dx%d shown at %dx%d in a %dx%d box\n", clip.name, frames,
                    clip.size.width(), clip.size.height(), frame.width(), frame.height(), box.width(), box.height());
        bench::printStats("distinct pictures painted a second", shown, "fps");
        if (options.screen) {
            bench::printStats("distinct pictures on the screen a second", screen, "fps");
            bench::printStats("screen captured at", captureRate, "fps");
        }
        bench::printStats(clip.hlg ? "ffmpeg to RGB, tone mapped, same cores" : "ffmpeg to RGB, same cores", peerShown,
                          "fps");
        bench::printStats("painted / that (each capped at rate)", ratio, "");
        bench::printStats("ffmpeg decode + scale in YUV", peerPlain, "fps");
        bench::printStats("painted / that (each capped at rate)", plainRatio, "");
        bench::printStats("program's cores busy (of 2)", cores, "");
        bench::printStats("display server's cores busy", displayCores, "");
        bench::printStats("pictures decoded a second", decoded, "fps");
        bench::printStats("decoded, dropped late", late, "frames");
        bench::printStats("decoded without in-loop filters", rough, "frames");
        bench::printStats("played at this fraction of real time", clock, "");
        bench::printStats("picture behind the sound, mean", behind, "ms");
        bench::printStats("conversion, wall time a picture", convert, "ms");
        table.push_back({&clip, bench::median(shown), bench::median(peerShown), bench::median(ratio),
                         bench::median(cores)});
    }
    std::printf("\n| Clip | Window, distinct fps | ffmpeg -threads 2, same cores | Ratio | Program's cores |\n"
                "|---|---|---|---|---|\n");
    for (const Row& row : table)
        std::printf("| %s | %.1f | %.1f | %.2f | %.2f |\n", row.clip->name, row.shown, row.peer, row.ratio, row.cores);
    std::printf("(medians of %d runs; ffmpeg ends where the player does: RGB, HLG tone mapped)\n", options.runs);
    std::printf("load average after: %s\n", bench::loadAverage().constData());
    return 0;
}
