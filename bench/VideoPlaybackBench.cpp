// Video as a user watches it, measured on the screen: the real program (`tessivarnholm` from this
// build) in a home of its own holding one library with the clip, on an X display (an Xvfb of its
// own at 1920x1080 when there is no DISPLAY), its sound to a PulseAudio null sink of the
// benchmark's own, pinned to the cores given (two by default). The clip is opened through its
// pages as a user does it (the library in the sidebar, the clip in the grid, Return); the screen's
// picture is captured on the other cores at twice the clip's rate and the sink's sound recorded
// beside it.
//
// Each captured picture is matched against the clip's own pictures: the top-left corner of the
// picture (where the clips made here show their picture number in big cells), decoded by ffmpeg at the
// size shown, in grey; until the clip's end the pictures are matched in the clip's order (a played
// clip never goes back), the path that differs least in all. The sound's clock is what reached the
// sink: its monitor is recorded beside the capture, each block placed in wall time by where it lies
// in the recorded stream (the monitor's own stamps come in bursts). The clips made here sound a
// tone rising at a steady rate, so each cycle heard tells where in the clip it was: how much of the
// sound's start and end was never heard is measured, not guessed. A clip of another sound is placed
// by its end, which is the clip's sound's end (a sink that wakes late leaves out the first part of
// the sound rather than playing it later), and its unheard sound is given in all. At every grab,
// the lag of picture behind sound is where the sound is less the time in the clip of the picture
// then on the screen. A hold is a picture of the clip standing on the screen longer than 0.15 s
// while its sound plays. Errors: a grab is stamped with when it was due (one every 8 or 17 ms); the
// sound's blocks are good to a few ms; without sound the clock starts with the first picture.
//
// Beside each run, interleaved (program, ffmpeg, program, ffmpeg...), ffmpeg decodes the same clip
// with a thread for each of the program's cores and scales it to the size shown, on the same
// cores: the ratio is taken pair by pair, because the machine's speed drifts. Clips: every video in
// --clips DIR, or by default four phone-like clips made once into --dir (4K HEVC 8-bit, 4K HEVC
// 10-bit HLG, 1080p60 HEVC 10-bit HLG, 1080p60 H.264; noisy moving pictures at a phone's bit rate,
// a key picture every second, with sound).
//
// --perf FILE records where the program's time goes (perf, on the other cores) over the first run
// of each clip, into FILE-1, FILE-2, ... by clip.
//
//   VideoPlaybackBench [--clips DIR] [--dir DIR] [--runs 3] [--cores 6,7] [--filter TEXT]
//                      [--program PATH] [--perf FILE] [--shots DIR]

#include "support/PhoneClips.h"
#include "support/PlaybackRun.h"
#include "support/ProgramSession.h"
#include "support/ScreenMatch.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <sched.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

using bench::ClipFacts;
using Run = bench::PlaybackRun;

struct Options {
    QString clips, folder, filter, program, perf, shots;
    int runs = 3;
    QString cores, others;
};

QString coreList(const std::vector<int>& cores)
{
    QStringList names;
    for (const int core : cores)
        names << QString::number(core);
    return names.join(',');
}

std::vector<int> allowedCores()
{
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    sched_getaffinity(0, sizeof allowed, &allowed);
    std::vector<int> cores;
    for (int i = 0; i < CPU_SETSIZE; ++i)
        if (CPU_ISSET(i, &allowed))
            cores.push_back(i);
    return cores;
}

double now()
{
    return double(QDateTime::currentMSecsSinceEpoch()) / 1000;
}

// The program's threads together: seconds run on a core, and seconds ready to run but waiting
// for one (its cores busy with its own other threads or with other work), from the kernel.
std::pair<double, double> schedTimes(qint64 pid)
{
    double run = 0, wait = 0;
    for (const QFileInfo& task : QDir(QString("/proc/%1/task").arg(pid)).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile stat(task.filePath() + "/schedstat");
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QList<QByteArray> fields = stat.readAll().trimmed().split(' ');
        if (fields.size() >= 2) {
            run += fields[0].toDouble() / 1e9;
            wait += fields[1].toDouble() / 1e9;
        }
    }
    return {run, wait};
}

// The clip in the program, opened as a user does: its library in the sidebar, the clip in the grid
// selected with a click, Return.
struct Navigator {
    bench::ProgramSession& session;
    QRect window;

    bool toGrid()
    {
        // The sidebar's first library, below its heading.
        session.click(window.topLeft() + QPoint(90, 62));
        return true;
    }
    void selectClip() { session.click(window.topLeft() + QPoint(320, 120)); }
};

Run playOnce(const Options& options, bench::ProgramSession& session, const ClipFacts& clip,
             const bench::SoundClock& clock, const QByteArray& display, const QString& server, QRect& picture,
             int index, int attempt)
{
    Run failed;
    if (!session.start(display, server, options.cores)) {
        std::fprintf(stderr, "  the program's window did not come (see %s/program.log)\n", qPrintable(session.home()));
        return failed;
    }
    Navigator go{session, session.window()};
    QThread::msleep(1500);
    if (!options.shots.isEmpty())
        bench::screenshot(display).save(QString("%1/start-%2-%3.png").arg(options.shots).arg(index).arg(attempt));
    go.toGrid();
    QThread::msleep(1500);
    go.selectClip();
    QThread::msleep(500);
    if (!options.shots.isEmpty())
        bench::screenshot(display).save(QString("%1/grid-%2-%3.png").arg(options.shots).arg(index).arg(attempt));
    if (picture.isEmpty()) {
        // Where the picture plays: opened once, two screenshots apart, closed again.
        session.key("Return");
        QThread::msleep(2000);
        const QImage a = bench::screenshot(display);
        QThread::msleep(150);
        const QImage b = bench::screenshot(display);
        picture = bench::pictureRect(a, b);
        if (!options.shots.isEmpty())
            b.save(QString("%1/playing-%2.png").arg(options.shots).arg(index));
        session.key("Escape");
        QThread::msleep(1500);
        if (picture.width() < 32 || picture.height() < 32) {
            std::fprintf(stderr, "  no moving picture on the screen after Return\n");
            picture = QRect();
            session.quit();
            return failed;
        }
    }
    // The picture's top-left corner, where the clips made here show their picture number.
    const QRect corner(0, 0, std::max(16, picture.width() * 8 / 100 / 2 * 2), std::max(8, picture.height() * 5 / 100 / 2 * 2));
    const QRect area = corner.translated(picture.topLeft());
    const double seconds = std::max(clip.soundEnd, clip.videoEnd) + 8;
    bench::ScreenCapture screen;
    bench::SoundCapture sound;
    // At twice the clip's rate: at its own rate, a picture the window changes just after a grab and
    // again just before the next is never seen, though it was on the screen.
    const int grabRate = int(std::clamp(std::ceil(2 * clip.rate), 60.0, 120.0));
    if (!screen.start(display, area, grabRate, seconds, options.others) || !sound.start("bench", seconds, options.others)) {
        session.quit();
        return failed;
    }
    // Both grabbing before anything plays.
    QThread::msleep(700);
    QProcess perf;
    const double pressed = now();
    const auto sched0 = schedTimes(session.pid());
    session.key("Return");
    if (!options.perf.isEmpty() && attempt == 0)
        perf.start("taskset", {"-c", options.others, "perf", "record", "-q", "-e", "cpu-clock", "-g", "-p",
                               QString::number(session.pid()), "-o", options.perf + QString("-%1").arg(index + 1), "--",
                               "sleep", QString::number(std::max(clip.soundEnd, clip.videoEnd) + 0.5)});
    // Over the clip's length from Return, with the program still playing.
    QThread::msleep(ulong(std::max(clip.soundEnd, clip.videoEnd) * 1000));
    const auto sched1 = schedTimes(session.pid());
    const double span = now() - pressed;
    const bench::Thumbnails shown = screen.finish();
    const bench::Heard heard = sound.finish(clock);
    if (perf.state() != QProcess::NotRunning && !perf.waitForFinished(30'000))
        std::fprintf(stderr, "  perf did not finish\n");
    session.key("Escape");
    QThread::msleep(300);
    session.quit();
    if (shown.count() < 2)
        return failed;
    bench::Thumbnails own;
    if (!bench::decodeThumbnails(clip, picture.size(), corner, options.others, own)) {
        std::fprintf(stderr, "  the clip's pictures did not decode\n");
        return failed;
    }
    if (int(own.count()) != clip.frames)
        std::fprintf(stderr, "  %zu pictures decoded of the %d in the file\n", own.count(), clip.frames);
    Run run = bench::analysePlayback(shown, own, heard, clip, clock, pressed);
    run.running = (sched1.first - sched0.first) / span;
    run.waiting = (sched1.second - sched0.second) / span;
    return run;
}

bool parse(int argc, char** argv, Options& options)
{
    std::vector<int> cores;
    for (int i = 1; i < argc; ++i) {
        const QByteArray a = argv[i];
        const bool hasValue = i + 1 < argc;
        const QString value = hasValue ? QString::fromLocal8Bit(argv[i + 1]) : QString();
        if (a == "--clips" && hasValue)
            options.clips = value;
        else if (a == "--dir" && hasValue)
            options.folder = value;
        else if (a == "--runs" && hasValue)
            options.runs = std::max(1, value.toInt());
        else if (a == "--filter" && hasValue)
            options.filter = value;
        else if (a == "--program" && hasValue)
            options.program = value;
        else if (a == "--perf" && hasValue)
            options.perf = value;
        else if (a == "--shots" && hasValue)
            options.shots = value;
        else if (a == "--cores" && hasValue) {
            for (const QString& core : value.split(','))
                cores.push_back(core.toInt());
        } else {
            std::fprintf(stderr, "usage: VideoPlaybackBench [--clips DIR] [--dir DIR] [--runs N] [--cores A,B] "
                                 "[--filter TEXT] [--program PATH] [--perf FILE] [--shots DIR]\n");
            return false;
        }
        ++i;
    }
    const std::vector<int> all = allowedCores();
    if (cores.empty() && all.size() >= 4)
        cores = {all[all.size() - 2], all.back()};
    std::vector<int> others;
    for (const int core : all)
        if (std::find(cores.begin(), cores.end(), core) == cores.end())
            others.push_back(core);
    if (cores.empty() || others.empty()) {
        std::fprintf(stderr, "needs two cores for the program and others for the capture\n");
        return false;
    }
    options.cores = coreList(cores);
    options.others = coreList(others);
    if (options.program.isEmpty())
        options.program = QCoreApplication::applicationDirPath() + "/../src/tessivarnholm";
    if (options.folder.isEmpty())
        options.folder = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) + "/tess-playback-clips";
    return true;
}

std::vector<QString> clipFiles(const Options& options)
{
    std::vector<QString> files;
    if (!options.clips.isEmpty()) {
        for (const QFileInfo& file : QDir(options.clips).entryInfoList(
                 {"*.mov", "*.mp4", "*.m4v", "*.MOV", "*.MP4", "*.M4V"}, QDir::Files, QDir::Name))
            files.push_back(file.absoluteFilePath());
        return files;
    }
    QDir().mkpath(options.folder);
    for (const bench::ClipRecipe& recipe : bench::phoneClips) {
        if (!bench::makeClip(recipe, options.folder))
            return {};
        files.push_back(QDir(options.folder).absoluteFilePath(recipe.file));
    }
    return files;
}

QString lagText(std::vector<double> lags)
{
    if (lags.empty())
        return "–";
    const double worst = *std::max_element(lags.begin(), lags.end());
    return QString("%1 (%2)").arg(bench::median(lags), 0, 'f', 2).arg(worst, 0, 'f', 2);
}

// "none", or how many and each one's length, with where in the clip it stood when `where`.
QString holdsText(const std::vector<std::pair<double, double>>& holds, bool where)
{
    if (holds.empty())
        return "none";
    QStringList lengths;
    for (const auto& [at, length] : holds)
        lengths << (where ? QString("%1 at %2 s").arg(length, 0, 'f', 2).arg(at, 0, 'f', 2)
                          : QString::number(length, 'f', 2));
    return QString("%1: %2").arg(holds.size()).arg(lengths.join(", "));
}

// "start / end", and each part skipped between with where in the clip.
QString unheardText(const Run& run)
{
    if (!run.soundPlaced)
        return QString("%1 in all").arg(run.unheardStart, 0, 'f', 2);
    QString text = QString("%1 / %2").arg(run.unheardStart, 0, 'f', 2).arg(run.unheardEnd, 0, 'f', 2);
    for (const auto& [at, length] : run.skips)
        text += QString("; %1 skipped at %2").arg(length, 0, 'f', 2).arg(at, 0, 'f', 2);
    return text;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    Options options;
    if (!parse(argc, argv, options))
        return 2;
    if (!QFileInfo(options.program).isExecutable()) {
        std::fprintf(stderr, "no program at %s (--program PATH)\n", qPrintable(options.program));
        return 2;
    }
    std::vector<ClipFacts> clips;
    for (const QString& file : clipFiles(options)) {
        if (!options.filter.isEmpty() && !QFileInfo(file).fileName().contains(options.filter, Qt::CaseInsensitive))
            continue;
        ClipFacts facts;
        if (!bench::probeClip(file, facts)) {
            std::fprintf(stderr, "cannot read %s\n", qPrintable(file));
            return 1;
        }
        clips.push_back(facts);
    }
    if (clips.empty()) {
        std::fprintf(stderr, "no clips\n");
        return 1;
    }
    if (!options.shots.isEmpty())
        QDir().mkpath(options.shots);

    QTemporaryDir temporary(QDir::tempPath() + "/tess-playbackbench-XXXXXX");
    bench::Helper display, soundServer;
    QByteArray displayName = qgetenv("DISPLAY");
    if (displayName.isEmpty() && !bench::startDisplay(display, options.others, displayName)) {
        std::fprintf(stderr, "Xvfb did not start\n");
        return 1;
    }
    QString server;
    if (!bench::startSoundServer(soundServer, options.others, temporary.path(), "bench", server)) {
        std::fprintf(stderr, "pulseaudio did not start\n");
        return 1;
    }
    // The sink's recorder reaches the server the program plays to.
    qputenv("PULSE_SERVER", server.toUtf8());
    std::printf("display %s (%s), sound to a PulseAudio null sink; program pinned to cores %s, capture and "
                "sound on %s; load average %s\n",
                displayName.constData(), display.pid() > 0 ? "Xvfb 1920x1080" : "given", qPrintable(options.cores),
                qPrintable(options.others), bench::loadAverage().constData());

    const int threads = int(options.cores.split(',').size());
    QStringList table;
    for (size_t c = 0; c < clips.size(); ++c) {
        const ClipFacts& clip = clips[c];
        bench::ProgramSession session(options.program, clip.path, "手机视频");
        if (!session.ready())
            return 1;
        bench::SoundClock clock;
        if (!bench::soundClock(clip, options.others, clock))
            return 1;
        QRect picture;
        std::printf("%s: %dx%d, %d pictures at %.2f fps, picture %.2f s, sound %.2f s (%s)\n", qPrintable(clip.name),
                    clip.size.width(), clip.size.height(), clip.frames, clip.rate, clip.videoEnd, clip.soundEnd,
                    !clip.hasSound       ? "none"
                    : clock.valid()      ? "a rising tone: what is heard is placed by its pitch"
                                         : "not a rising tone: what is heard is placed by its end");
        for (int r = 0; r < options.runs; ++r) {
            const QByteArray loadBefore = bench::loadAverage();
            Run run = playOnce(options, session, clip, clock, displayName, server, picture, int(c), r);
            if (!run.ok) {
                std::fprintf(stderr, "  run %d of %s failed\n", r + 1, qPrintable(clip.name));
                continue;
            }
            run.peer = bench::peerFps(clip, picture.size(), options.cores);
            const double cap = clip.rate;
            const double ratio = run.peer > 0 ? std::min(run.distinctFps, cap) / std::min(run.peer, cap) : 0;
            std::printf("  run %d (load %s): shown at %dx%d, %.1f distinct fps (captured at %.1f fps), ffmpeg "
                        "%.1f fps, ratio %.2f; lag median (max) %s s, longest hold %.2f s at %.2f s, holds over %.2f s: %s; "
                        "began with picture %d; picture ended %+.2f s after the sound; %s; %d of the captured "
                        "pictures matched none, the others differed by %.1f; the program ran on %.2f cores and "
                        "waited for one %.2f\n",
                        r + 1, loadBefore.constData(), picture.width(), picture.height(), run.distinctFps,
                        run.captureFps, run.peer, ratio, qPrintable(lagText(run.lags)), run.longestHold, run.longestHoldAt,
                        bench::holdOver, qPrintable(holdsText(run.holds, true)), run.firstFrame, run.endedAfterSound,
                        run.soundFromSink ? qPrintable(QString("sound began %1 s after the first picture, %2 s "
                                                               "of it heard, unheard at start / end (s) %3, stood "
                                                               "still %4 s")
                                                           .arg(run.soundLate, 0, 'f', 3)
                                                           .arg(run.heard, 0, 'f', 2)
                                                           .arg(unheardText(run))
                                                           .arg(run.soundGaps, 0, 'f', 2))
                                          : "no sound reached the sink (clock from the first picture)",
                        run.unmatched, bench::median(run.differences), run.running, run.waiting);
            std::fflush(stdout);
            table << QString("| %1 (%2x%3) | %4 | %5 | %6 (%7×) | %8 | %9 | %10 | %11 |")
                         .arg(clip.name)
                         .arg(picture.width())
                         .arg(picture.height())
                         .arg(r + 1)
                         .arg(run.distinctFps, 0, 'f', 1)
                         .arg(run.peer, 0, 'f', 1)
                         .arg(run.peer / clip.rate, 0, 'f', 2)
                         .arg(run.longestHold, 0, 'f', 2)
                         .arg(holdsText(run.holds, false))
                         .arg(lagText(run.lags))
                         .arg(run.soundFromSink ? unheardText(run) : "no sound");
        }
    }
    std::printf("\n| Clip (shown at) | Run | Program, distinct fps | ffmpeg -threads %d decode + scale, same cores, "
                "fps (× clip's rate) | Longest hold, s | Holds over %.2f s | Picture behind sound, median (max) s | Sound "
                "unheard at start / end, s |\n|---|---|---|---|---|---|---|---|\n%s\n",
                threads, bench::holdOver, qPrintable(table.join('\n')));
    std::printf("(each run followed by its ffmpeg on the same cores %s; load average after: %s)\n",
                qPrintable(options.cores), bench::loadAverage().constData());
    return 0;
}
