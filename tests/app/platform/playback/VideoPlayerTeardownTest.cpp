#include "app/platform/decoding/PixelBudget.h"
#include "app/platform/playback/VideoPlayer.h"

#include "support/app/MediaClips.h"
#include "support/app/SoundServer.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <random>
#include <thread>

using namespace app;
using app::test::ffmpeg;

namespace {

// A clip of `seconds` of 64x48 pictures with a tone as long.
QString shortClip(const QTemporaryDir& dir, double seconds)
{
    const QString path = dir.filePath("short.mp4");
    const QString length = QString::number(seconds);
    ffmpeg({"-f", "lavfi", "-i", "testsrc=size=64x48:rate=25:duration=" + length, "-f", "lavfi", "-i",
            "sine=frequency=440:duration=" + length, "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt",
            "yuv420p", "-c:a", "aac", "-shortest", path});
    return path;
}

// The longest the main thread went without running its event loop while `work` ran, in ms,
// measured by a timer due every 5 ms.
qint64 longestGap(const std::function<void()>& work)
{
    QElapsedTimer clock;
    clock.start();
    qint64 last = 0, longest = 0;
    QTimer heartbeat;
    heartbeat.setTimerType(Qt::PreciseTimer);
    heartbeat.setInterval(5);
    QObject::connect(&heartbeat, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        longest = std::max(longest, now - last);
        last = now;
    });
    heartbeat.start();
    last = clock.elapsed();
    work();
    longest = std::max(longest, clock.elapsed() - last);
    return longest;
}

} // namespace

// Players opened, played and closed through a sound server hundreds of times: at the end of the
// clip, just after it, and at any moment while it opens or plays. A sink freed while its stream
// could still call it takes the program down.
TEST(VideoPlayerTeardown, closesAtAnyMomentThroughASoundServer)
{
    app::test::SoundServer server(app::test::SoundServer::prompt);
    QTemporaryDir dir;
    const QUrl clip = QUrl::fromLocalFile(shortClip(dir, 0.2));
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    std::mt19937 random(seed);
    int ended = 0;
    for (int i = 0; i < 210; ++i) {
        auto player = std::make_unique<VideoPlayer>();
        player->setSource(clip);
        player->play();
        switch (i % 3) {
        case 0: // as it ends
        case 1: // after, while the device plays out what it holds
            if (QTest::qWaitFor([&] { return player->mediaStatus() == QMediaPlayer::EndOfMedia; }, 5000))
                ++ended;
            if (i % 3 == 1)
                QTest::qWait(std::uniform_int_distribution(0, 250)(random));
            break;
        default: // anywhere from opening to the end
            QTest::qWait(std::uniform_int_distribution(0, 300)(random));
        }
    }
    EXPECT_EQ(ended, 140);
    // The last engines end before their server goes: one whose server went away while it opened
    // a stream would hold on for good.
    EXPECT_TRUE(VideoPlayer::waitForRetired(10000));
}

// A sound server that stopped answering, or a FIFO named as a clip, holds nothing the window's
// thread does: asking for the default device, opening, playing and closing the player. Whatever
// holds it is let go after three seconds, so that a hold fails rather than hangs. Nor does it hold
// the pictures' lease of a player closed while the server is stopped.
TEST(VideoPlayerTeardown, windowAnswersWhileTheSoundOrTheFileDoesNot)
{
    app::test::SoundServer server(app::test::SoundServer::prompt);
    QTemporaryDir dir;
    const QString clip = shortClip(dir, 1);
    const QString fifo = dir.filePath("named-pipe.mp4");
    ASSERT_EQ(::mkfifo(qPrintable(fifo), 0600), 0);
    struct Row {
        const char* what;
        QString path;
        std::function<void()> hold, release;
    };
    const Row rows[] = {
        {"a stopped sound server", clip, [&] { ASSERT_TRUE(server.pause(true)); }, [&] { server.pause(false); }},
        {"a FIFO", fifo, [] {}, [&] {
             // A writer that comes and goes: the open it waited for returns, and reading ends.
             const int fd = ::open(qPrintable(fifo), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
             if (fd >= 0)
                 ::close(fd);
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        row.hold();
        std::atomic<bool> done = false;
        std::thread release([&] {
            for (int i = 0; i < 300 && !done; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            row.release();
        });
        QString error;
        const qint64 gap = longestGap([&] {
            auto player = std::make_unique<VideoPlayer>();
            QObject::connect(player.get(), &VideoPlayer::errorOccurred,
                             [&](QMediaPlayer::Error, const QString& text) { error = text; });
            player->setSource(QUrl::fromLocalFile(row.path));
            player->play();
            QTest::qWait(300);
            player.reset();
            QTest::qWait(100);
        });
        done = true;
        release.join();
        // Held, the window would wait for the release at 3 s; scheduling alone stays far below.
        EXPECT_LT(gap, 1000);
        std::printf("%s: the window's thread went %lld ms without an answer\n", row.what, gap);
        if (row.path == fifo)
            EXPECT_EQ(error, "无法播放这个视频：文件无法读取。");
    }

    // Stopped mid-clip: the closed player's pictures give their lease back at once, not once the
    // sound lets go.
    {
        auto player = std::make_unique<VideoPlayer>();
        player->setSource(QUrl::fromLocalFile(clip));
        player->play();
        ASSERT_TRUE(QTest::qWaitFor([&] { return player->frameNumber() > 2; }, 10000));
        ASSERT_GT(PixelBudget::held(), 0u);
        ASSERT_TRUE(server.pause(true));
        player.reset();
        EXPECT_TRUE(QTest::qWaitFor([] { return PixelBudget::held() == 0; }, 1000));
        server.pause(false);
    }

    // A sound server that does not answer at all: the clip plays without it, to its end.
    ASSERT_TRUE(server.pause(true));
    {
        VideoPlayer player;
        player.setSource(QUrl::fromLocalFile(clip));
        player.play();
        EXPECT_TRUE(QTest::qWaitFor([&] { return player.mediaStatus() == QMediaPlayer::EndOfMedia; }, 10000));
        EXPECT_GT(player.frameNumber(), 0u);
        server.pause(false);
    }
    // Its engine ends once the server answers again; a server that went away while it opened a
    // stream would hold it for good.
    EXPECT_TRUE(VideoPlayer::waitForRetired(10000));
}
