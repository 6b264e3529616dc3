#include "app/platform/playback/PlaybackEngine.h"

#include "support/app/MediaClips.h"
#include "support/app/Wait.h"

#include <gtest/gtest.h>

#include <QAudioDevice>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <optional>
#include <thread>

using namespace app;

namespace {

// The highest nice value among this process's threads.
int highestNice()
{
    int highest = -20;
    for (const QFileInfo& task : QDir("/proc/self/task").entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile stat(task.filePath() + "/stat");
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray line = stat.readAll();
        // From the third field (after the name in parentheses) on; the nice value is the 19th.
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 16)
            highest = std::max(highest, fields[16].toInt());
    }
    return highest;
}

} // namespace

// Pictures slower than the clip gives them, to show (120 ms for each 40 ms frame) or to decode
// (100 ms for each picture out of the decoder, a key picture every half second): the clock keeps
// real time and the picture stays with it, late ones dropped or left undecoded, and the clip ends
// with its time, rather than a clip played in slow motion or a picture ever further behind its
// sound. A decoder that cannot keep up even leaving pictures out falls behind up to half a second.
// One that keeps up on the whole but gives its pictures three at a time, late, once the queue has
// filled at the start, has every picture shown: none piles up behind them.
TEST(PlaybackEngine, keepsRealTimeWhenPicturesAreSlowerThanTheClip)
{
    QTemporaryDir dir;
    const QString plain = app::test::makeClip(dir, "clip.mp4", "320x240", 6);
    struct Row {
        const char* name;
        QString clip;
        int showMs, decodeMs;
        double behind;
        bool threes = false;
    } rows[] = {
        {"slow to show", plain, 120, 0, 0.3},
        {"slow to decode", app::test::makeClip(dir, "keys.mp4", "320x240", 6,
                                               {"-c:v", "libx264", "-preset", "veryfast", "-g", "12", "-pix_fmt",
                                                "yuv420p", "-c:a", "aac"}),
         0, 100, 0.5},
        {"three at a time", plain, 20, 0, 0.5, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::mutex mutex;
        std::optional<QElapsedTimer> sinceFirst;
        // The clock when the first picture was shown.
        double firstShown = -1, lastShown = -1, mostBehind = 0;
        qint64 endedAt = -1;
        std::atomic<PlaybackEngine*> playing = nullptr;
        PlaybackEngine::Events events;
        events.loaded = [](double, bool) {};
        events.failed = [](const QString& reason) { ADD_FAILURE() << reason.toStdString(); };
        events.ended = [&](quint64) {
            std::lock_guard lock(mutex);
            endedAt = sinceFirst ? sinceFirst->elapsed() : -1;
        };
        events.frame = [&](const QImage&, double time, quint64) {
            {
                std::lock_guard lock(mutex);
                if (!sinceFirst) {
                    sinceFirst.emplace();
                    sinceFirst->start();
                    firstShown = playing.load()->position();
                }
                lastShown = time;
                mostBehind = std::max(mostBehind, playing.load()->position() - time);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(row.showMs));
        };
        events.decoded = [&, out = 0]() mutable {
            std::this_thread::sleep_for(std::chrono::milliseconds(row.decodeMs));
            // From the 13th on, each three once the last of them is due (every picture decodes).
            const int picture = out++;
            QElapsedTimer waited;
            waited.start();
            while (row.threes && picture >= 12 && picture % 3 == 0 && waited.elapsed() < 500
                   && playing.load()->position() < std::min((picture + 2) * 0.04 + 0.005, 5.8))
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        };
        PlaybackEngine engine(row.clip, QAudioDevice(), events);
        playing = &engine;
        engine.setRunning(true);
        ASSERT_TRUE(app::test::waitFor([&] {
            std::lock_guard lock(mutex);
            return sinceFirst && sinceFirst->elapsed() >= 2500;
        }, 20000));
        {
            std::lock_guard lock(mutex);
            const double wall = double(sinceFirst->elapsed()) / 1000 + firstShown, position = engine.position();
            EXPECT_NEAR(position, wall, 0.25);
            // The reading and decoding threads, the decoder's own among them, give way by one step.
            EXPECT_EQ(highestNice(), getpriority(PRIO_PROCESS, 0) + 5);
            // Slow to decode, the picture stands still while the decoder jumps to a key picture.
            if (row.decodeMs == 0) {
                EXPECT_LT(position - lastShown, 0.3);
            }
        }
        ASSERT_TRUE(app::test::waitFor([&] {
            std::lock_guard lock(mutex);
            return endedAt >= 0;
        }, 20000));
        std::lock_guard lock(mutex);
        EXPECT_LT(mostBehind, row.behind);
        EXPECT_NEAR(double(endedAt) / 1000, 6 - firstShown, 0.3);
        const PlaybackEngine::Stats stats = engine.stats();
        // Of its 150 pictures, many were left out, or hardly any.
        EXPECT_EQ(stats.shown < 125, !row.threes) << stats.shown;
        // Still moving: a picture left at its place would never be behind.
        EXPECT_GT(stats.shown, 12u);
        std::printf("%s: %llu pictures shown, at most %.2f s behind, ended %.2f s after the first picture (%.2f s)\n",
                    row.name, static_cast<unsigned long long>(stats.shown), mostBehind, double(endedAt) / 1000,
                    firstShown);
        std::fflush(stdout);
    }
}

// Which late pictures are dropped unshown. Only a pile-up (the pictures are shown slower than they
// are decoded) or a picture far behind its sound is worth a gap on the screen; when the decoder is
// what falls behind, every picture it manages is shown. And when a late decoder jumps to a key
// picture: only a near one, and only when that takes away more lag than the picture stands still.
TEST(PlaybackEngine, leavesOutLatePicturesOnlyWhenThatShowsMore)
{
    struct Jump {
        const char* what;
        double late, ahead, fresh;
        bool jumps;
    } jumps[] = {
        {"a key picture 1.5 s ahead, however late", 2.5, 1.5, 0.1, false},
        // A phone's clip 0.3 s behind, its next key picture 0.4 s away.
        {"less lag than the picture would stand", 0.3, 0.4, 0.1, false},
        {"more lag than the picture would stand", 0.45, 0.3, 0.1, true},
        {"a near key picture slow to decode afresh", 0.3, 0.05, 0.4, false},
    };
    for (const Jump& j : jumps)
        EXPECT_EQ(PlaybackEngine::jumpsToKey(j.late, j.ahead, j.fresh), j.jumps) << j.what;

    const double frame = 1.0 / 30;
    struct Case {
        const char* what;
        double late;
        bool nextDue, queueFilled;
        double showing;
        bool dropped;
    } cases[] = {
        {"decoder behind, more came out with it", 0.11, true, false, 0.01, false},
        {"shown slower than decoded", 0.11, true, true, 0.01, true},
        // The queue never fills when the decoder is slow too; the window's own time tells.
        {"window and decoder both slow", 0.11, true, false, 0.12, true},
        {"far behind its sound", 0.3, true, false, 0.01, true},
        {"late, but the next is not due yet", 0.11, false, true, 0.12, false},
        {"under a frame late", 0.02, true, true, 0.12, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(PlaybackEngine::dropsLate(c.late, frame, c.nextDue, c.queueFilled, c.showing), c.dropped) << c.what;
}
