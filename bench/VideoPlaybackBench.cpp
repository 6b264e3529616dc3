// Video as a user watches it, measured on the screen: the real program (`tessivarnholm` from this
// build) in a home of its own holding one library with the clip, on an X display (an Xvfb of its
// own at 1920x1080 when there is no DISPLAY), its sound to a PulseAudio null sink of the
// benchmark's own, pinned to two cores. The clip is opened through its pages as a user does it
// (the library in the sidebar, the clip in the grid, Return); the screen's picture is captured on
// the other cores at 60 pictures a second and the sink's sound recorded beside it.
//
// Each captured picture is matched against the clip's own pictures: the top-left corner of the
// picture (where the clips made here show their time and picture number), decoded by ffmpeg at the
// size shown, in grey; until the clip's end the pictures are matched in the clip's order (a played
// clip never goes back), the path that differs least in all. The sound's clock is what reached the
// sink: its monitor is recorded beside the capture, each block placed in wall time by where it lies
// in the recorded stream (the monitor's own stamps come in bursts), and the sound is placed by its
// end, which is the clip's sound's end: a sink that wakes late leaves out the first part of the
// sound rather than playing it later, and that part is reported. At every grab, the lag of picture
// behind sound is where the sound is less the time in the clip of the picture then on the screen.
// Errors: a grab is stamped with when it was due (one every 8 or 17 ms); the sound's blocks are
// good to a few ms; without sound the clock starts with the first picture.
//
// Beside each run, interleaved (program, ffmpeg, program, ffmpeg...), `ffmpeg -threads 2` decodes
// the same clip and scales it to the size shown, on the same two cores: the ratio is taken pair by
// pair, because the machine's speed drifts. Clips: every video in --clips DIR, or by default four
// phone-like clips made once into --dir (4K HEVC 8-bit, 4K HEVC 10-bit HLG, 1080p60 HEVC 10-bit
// HLG, 1080p60 H.264; noisy moving pictures at a phone's bit rate, with sound).
//
// --perf FILE records where the program's time goes (perf, on the other cores) over the first run
// of each clip, into FILE-1, FILE-2, ... by clip.
//
//   VideoPlaybackBench [--clips DIR] [--dir DIR] [--runs 3] [--cores 6,7] [--filter TEXT]
//                      [--program PATH] [--perf FILE] [--shots DIR]

#include "support/PhoneClips.h"
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

// One run of the program on one clip, as the screen and the sink saw it.
struct Run {
    bool ok = false;
    double distinctFps = 0, captureFps = 0;
    // Lag of picture behind sound at every captured picture while the sound played, seconds.
    std::vector<double> lags;
    // The clip's picture the program began with (0 unless it skipped the first).
    int firstFrame = 0;
    // When the last picture of the clip left the screen, less when the sound ended.
    double endedAfterSound = 0;
    // Whether the sound reached the sink; when, after the first picture; how long it stood still.
    bool soundFromSink = false;
    double soundLate = 0, soundGaps = 0;
    // How much of the clip's sound the sink never played.
    double soundMissed = 0;
    // Over the capture, in cores: the program's threads running, and ready but waiting for a core.
    double running = 0, waiting = 0;
    int distinct = 0, unmatched = 0;
    // How far each matched picture was from its match (grey levels, after evening out).
    std::vector<double> differences;
    double peer = 0;
};

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

// The run as the screen showed it: `shown` holds the new pictures the capture saw, `own` the clip's.
Run analyse(const bench::Thumbnails& captured, const bench::Thumbnails& own, const bench::Heard& heard, const ClipFacts& clip,
            double pressed)
{
    Run run;
    // What came after Return.
    bench::Thumbnails shown = captured;
    const size_t before = size_t(std::lower_bound(shown.times.begin(), shown.times.end(), pressed) - shown.times.begin());
    shown.times.erase(shown.times.begin(), shown.times.begin() + qsizetype(before));
    shown.pixels.erase(shown.pixels.begin(), shown.pixels.begin() + qsizetype(before * size_t(shown.width * shown.height)));
    // Until the clip's end, the pictures shown only go forward; after it the viewer goes back to
    // its first picture.
    const double playEnds = (heard.blocks.empty() ? pressed + clip.soundEnd + 2 : heard.end()) + 0.5;
    const size_t inOrder = size_t(std::upper_bound(shown.times.begin(), shown.times.end(), playEnds) - shown.times.begin());
    const std::vector<bench::Match> matches = bench::matchPictures(shown, own, inOrder);
    std::vector<double> differences;
    for (const bench::Match& m : matches)
        differences.push_back(m.difference);
    // Pictures of the clip: close to one of its own, as most of what was captured is (a grab that
    // caught the window half painted is not).
    const double usual = bench::median(differences);
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
    // The sound's clock: how much of it reached the sink by then. Without sound, the program's
    // clock starts with its first picture.
    const double started = shown.times[first];
    const bool sounded = !heard.blocks.empty();
    // The sound is placed by its end, which is where the clip's sound ends: a sound that started
    // late had its first part left out (a sink that takes a while to wake), not played later.
    const double heardInAll = sounded ? heard.position(heard.end()) : 0;
    auto soundAt = [&](double t) {
        return sounded ? clip.soundEnd - (heardInAll - heard.position(t)) : t - started + frameTime(first);
    };
    const double soundEnd = sounded ? heard.end() : started - frameTime(first) + clip.soundEnd;
    run.soundFromSink = sounded;
    if (sounded) {
        run.soundLate = heard.start() - started;
        run.soundMissed = clip.soundEnd - heardInAll;
        run.soundGaps = heard.end() - heard.start() - heard.position(heard.end());
    }
    run.firstFrame = matches[first].frame;
    // The last picture of the clip shown: the latest in the clip; it ends a picture's time after it came.
    size_t last = first;
    for (size_t i = first; i < shown.count(); ++i)
        if (isClip(i) && matches[i].frame > matches[last].frame)
            last = i;
    run.endedAfterSound = shown.times[last] + 1 / clip.rate - soundEnd;
    // At every grab while the sound played: the picture then on the screen, and how far behind it was.
    size_t at = first;
    for (const double grab : shown.grabs) {
        if (grab < std::max(started, sounded ? heard.start() : started) || grab > soundEnd)
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
    const double playedUntil = std::min(soundEnd, shown.grabs.empty() ? soundEnd : shown.grabs.back());
    for (size_t i = first + 1; i < shown.count() && shown.times[i] <= playedUntil; ++i)
        ++run.distinct;
    run.distinctFps = playedUntil > started ? run.distinct / (playedUntil - started) : 0;
    if (shown.grabs.size() > 1)
        run.captureFps = double(shown.grabs.size() - 1) / (shown.grabs.back() - shown.grabs.front());
    run.ok = !run.lags.empty();
    return run;
}

Run playOnce(const Options& options, bench::ProgramSession& session, const ClipFacts& clip, const QByteArray& display,
             const QString& server, QRect& picture, int index, int attempt)
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
    // The picture's top-left corner, where the clips made here show their time and picture number.
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
    const bench::Heard heard = sound.finish();
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
    Run run = analyse(shown, own, heard, clip, pressed);
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

    struct Row {
        QString name;
        QSize shown;
        std::vector<double> fps, peer, ratio, lags, ended;
    };
    std::vector<Row> table;
    for (size_t c = 0; c < clips.size(); ++c) {
        const ClipFacts& clip = clips[c];
        bench::ProgramSession session(options.program, clip.path, "手机视频");
        if (!session.ready())
            return 1;
        Row row{clip.name, {}, {}, {}, {}, {}, {}};
        QRect picture;
        std::printf("%s: %dx%d, %d pictures at %.2f fps, picture %.2f s, sound %.2f s\n", qPrintable(clip.name),
                    clip.size.width(), clip.size.height(), clip.frames, clip.rate, clip.videoEnd, clip.soundEnd);
        for (int r = 0; r < options.runs; ++r) {
            const QByteArray loadBefore = bench::loadAverage();
            Run run = playOnce(options, session, clip, displayName, server, picture, int(c), r);
            if (!run.ok) {
                std::fprintf(stderr, "  run %d of %s failed\n", r + 1, qPrintable(clip.name));
                continue;
            }
            run.peer = bench::peerFps(clip, picture.size(), options.cores);
            const double cap = clip.rate;
            const double ratio = run.peer > 0 ? std::min(run.distinctFps, cap) / std::min(run.peer, cap) : 0;
            std::vector<double> sorted = run.lags;
            std::sort(sorted.begin(), sorted.end());
            std::printf("  run %d (load %s): shown at %dx%d, %.1f distinct fps (captured at %.1f fps), ffmpeg "
                        "%.1f fps, ratio %.2f; lag median %.3f s, max %.3f s, began with picture %d; picture ended "
                        "%+.2f s after the sound; %s; %d of the captured pictures matched none, the others differed by %.1f; the program ran on %.2f "
                        "cores and waited for one %.2f\n",
                        r + 1, loadBefore.constData(), picture.width(), picture.height(), run.distinctFps,
                        run.captureFps, run.peer, ratio, bench::median(sorted), sorted.back(), run.firstFrame,
                        run.endedAfterSound,
                        run.soundFromSink ? qPrintable(QString("sound began %1 s after the first picture, its first "
                                                               "%2 s unheard, stood still %3 s")
                                                           .arg(run.soundLate, 0, 'f', 3)
                                                           .arg(run.soundMissed, 0, 'f', 2)
                                                           .arg(run.soundGaps, 0, 'f', 2))
                                          : "no sound reached the sink (clock from the first picture)",
                        run.unmatched, bench::median(run.differences), run.running, run.waiting);
            std::fflush(stdout);
            row.shown = picture.size();
            row.fps.push_back(run.distinctFps);
            row.peer.push_back(run.peer);
            row.ratio.push_back(ratio);
            row.lags.insert(row.lags.end(), run.lags.begin(), run.lags.end());
            row.ended.push_back(run.endedAfterSound);
        }
        table.push_back(row);
    }
    std::printf("\n| Clip (shown at) | Program, distinct fps | ffmpeg -threads 2 decode + scale, same cores | Ratio "
                "per pair | Picture behind sound, median (max) s | Picture ended after sound, s |\n"
                "|---|---|---|---|---|---|\n");
    for (const Row& row : table) {
        QStringList fps;
        for (const double f : row.fps)
            fps << QString::number(f, 'f', 1);
        std::printf("| %s (%dx%d) | %s | %s | %s | %s | %s |\n", qPrintable(row.name), row.shown.width(),
                    row.shown.height(), qPrintable(fps.join(", ")), qPrintable(bench::range(row.peer, 1)),
                    qPrintable(bench::range(row.ratio, 2)), qPrintable(lagText(row.lags)),
                    qPrintable(bench::range(row.ended, 2)));
    }
    std::printf("(%d runs a clip, each followed by its ffmpeg on the same cores %s; ratios capped at the clip's "
                "rate; load average after: %s)\n",
                options.runs, qPrintable(options.cores), bench::loadAverage().constData());
    return 0;
}
