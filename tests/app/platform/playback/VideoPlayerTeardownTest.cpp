#include "app/platform/decoding/PixelBudget.h"
#include "app/platform/playback/VideoPlayer.h"

#include "support/app/MediaClips.h"
#include "support/app/SoundServer.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QMediaDevices>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <map>
#include <set>
#include <vector>
#include <thread>

QT_BEGIN_NAMESPACE
// Qt's hooks for tools that follow objects: slot 3 is told of every object made, slot 4 of every
// object destroyed.
extern Q_CORE_EXPORT quintptr qtHookData[];
QT_END_NAMESPACE

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

// A sound server whose answer to a drain comes as late as it can. A stream that runs dry asks the
// server to drain it, naming its sink, and that answer can cross the stream's disconnect. Here it
// is held until the server answers something asked later of the same stream (the drain asked as
// the stream is stopped), and handed on a moment after that, once the stream's owner has gone on.
// An answer that would reach a sink already destroyed is counted instead of handed on.
struct HeldAnswer {
    void (*call)(struct pa_stream*, int, void*);
    void* sink;
    int success = 0;
};

struct LateDrains {
    std::mutex mutex;
    bool on = false;
    std::set<const void*> draining;   // streams that asked for a drain naming their sink
    std::set<const void*> stopped;    // streams disconnected since
    std::multimap<const void*, HeldAnswer*> held;
    std::set<const void*> destroyed;  // objects gone while `on`
    int toDestroyedSinks = 0;
    int handedOn = 0;
    void (*previousMade)(QObject*) = nullptr;
    void (*previousDestroyed)(QObject*) = nullptr;
};

LateDrains& lateDrains()
{
    static LateDrains* d = new LateDrains;
    return *d;
}

void objectMade(QObject* object)
{
    LateDrains& d = lateDrains();
    {
        std::lock_guard lock(d.mutex);
        d.destroyed.erase(object); // the address is taken again
    }
    if (d.previousMade)
        d.previousMade(object);
}

void objectDestroyed(QObject* object)
{
    LateDrains& d = lateDrains();
    {
        std::lock_guard lock(d.mutex);
        if (d.on)
            d.destroyed.insert(object);
    }
    if (d.previousDestroyed)
        d.previousDestroyed(object);
}

// On the sound library's thread, as the server's answers come.
void answerLate(struct pa_stream* stream, int success, void* data)
{
    auto* answer = static_cast<HeldAnswer*>(data);
    answer->success = success;
    LateDrains& d = lateDrains();
    std::vector<HeldAnswer*> due;
    {
        std::lock_guard lock(d.mutex);
        if (answer->sink && !d.stopped.count(stream)) {
            d.held.emplace(stream, answer);
            return;
        }
        const auto [from, to] = d.held.equal_range(stream);
        for (auto it = from; it != to; ++it)
            due.push_back(it->second);
        d.held.erase(stream);
        d.stopped.erase(stream);
    }
    due.push_back(answer);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    for (HeldAnswer* late : due) {
        std::unique_ptr<HeldAnswer> owned(late);
        {
            std::lock_guard lock(d.mutex);
            if (late->sink && d.destroyed.count(late->sink)) {
                ++d.toDestroyedSinks;
                continue;
            }
            d.handedOn += late->sink ? 1 : 0;
        }
        late->call(stream, late->success, late->sink);
    }
}

} // namespace

// Taken before the sound library's own: they only reorder what the server answers while a test
// asks for it.
extern "C" {
struct pa_operation* pa_stream_drain(struct pa_stream* stream, void (*call)(struct pa_stream*, int, void*),
                                     void* sink)
{
    using Drain = struct pa_operation* (*)(struct pa_stream*, void (*)(struct pa_stream*, int, void*), void*);
    static const auto real = reinterpret_cast<Drain>(::dlsym(RTLD_NEXT, "pa_stream_drain"));
    LateDrains& d = lateDrains();
    {
        std::lock_guard lock(d.mutex);
        if (!d.on || !call)
            return real(stream, call, sink);
        if (sink)
            d.draining.insert(stream);
    }
    return real(stream, answerLate, new HeldAnswer{call, sink});
}

int pa_stream_disconnect(struct pa_stream* stream)
{
    using Disconnect = int (*)(struct pa_stream*);
    static const auto real = reinterpret_cast<Disconnect>(::dlsym(RTLD_NEXT, "pa_stream_disconnect"));
    {
        LateDrains& d = lateDrains();
        std::lock_guard lock(d.mutex);
        if (d.on)
            d.stopped.insert(stream);
    }
    return real(stream);
}
}

// A drain's answer that crosses the disconnect of its stream must find its sink still there:
// the sink goes only once the server has answered something asked after the stream stopped.
TEST(VideoPlayerTeardown, aDrainAnsweredAfterTheStreamStoppedFindsItsSink)
{
    app::test::SoundServer server;
    ASSERT_FALSE(QMediaDevices::defaultAudioOutput().isNull());
    QTemporaryDir dir;
    // Its sound ends a second before its pictures: the stream runs dry while the clip plays.
    const QString path = dir.filePath("short-sound.mp4");
    ASSERT_TRUE(ffmpeg({"-f", "lavfi", "-i", "testsrc=size=64x48:rate=25:duration=2.5", "-f", "lavfi", "-i",
                        "sine=frequency=440:duration=1", "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt",
                        "yuv420p", "-c:a", "aac", path}));
    const QUrl clip = QUrl::fromLocalFile(path);
    LateDrains& d = lateDrains();
    d.previousMade = reinterpret_cast<void (*)(QObject*)>(qtHookData[3]);
    d.previousDestroyed = reinterpret_cast<void (*)(QObject*)>(qtHookData[4]);
    qtHookData[3] = reinterpret_cast<quintptr>(&objectMade);
    qtHookData[4] = reinterpret_cast<quintptr>(&objectDestroyed);
    {
        std::lock_guard lock(d.mutex);
        d.on = true;
    }
    int drained = 0;
    for (int i = 0; i < 4; ++i) {
        {
            std::lock_guard lock(d.mutex);
            d.draining.clear();
        }
        auto player = std::make_unique<VideoPlayer>();
        player->setSource(clip);
        player->play();
        // The stream ran dry at the end of the sound and asked for its drain; the pictures go on.
        if (QTest::qWaitFor([&] {
                std::lock_guard lock(d.mutex);
                return !d.draining.empty();
            }, 5000))
            ++drained;
        player.reset();
        VideoPlayer::waitForRetired(3000);
    }
    QTest::qWaitFor([&] {
        std::lock_guard lock(d.mutex);
        return d.handedOn + d.toDestroyedSinks >= drained;
    }, 3000);
    {
        std::lock_guard lock(d.mutex);
        d.on = false;
        d.destroyed.clear();
        d.draining.clear();
        d.stopped.clear();
    }
    qtHookData[3] = reinterpret_cast<quintptr>(d.previousMade);
    qtHookData[4] = reinterpret_cast<quintptr>(d.previousDestroyed);
    EXPECT_EQ(drained, 4);
    EXPECT_EQ(d.handedOn, drained);
    EXPECT_EQ(d.toDestroyedSinks, 0);
}

// Players opened, played and closed through a sound server hundreds of times: at the end of the
// clip, just after it, and at any moment while it opens or plays. A sink freed while its stream
// could still call it takes the program down.
TEST(VideoPlayerTeardown, closesAtAnyMomentThroughASoundServer)
{
    app::test::SoundServer server;
    ASSERT_FALSE(QMediaDevices::defaultAudioOutput().isNull());
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
    app::test::SoundServer server;
    ASSERT_FALSE(QMediaDevices::defaultAudioOutput().isNull());
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
