#include "app/platform/playback/PlaybackEngine.h"
#include "app/platform/playback/VideoPlayer.h"
#include "app/views/video/VideoSurfaceWidget.h"

#include "support/app/CraftedHeif.h"
#include "support/app/Eventually.h"
#include "support/app/Fixtures.h"
#include "support/app/MediaClips.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

extern "C" {
#include <libavutil/frame.h>
}

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <functional>
#include <atomic>
#include <cmath>
#include <mutex>
#include <thread>
#include <utility>

using namespace app;
using app::test::ffmpeg;

namespace {

// Every later read of `path` by this process fails as on a drive that is gone: a folder is put in
// place of each descriptor open on it (reading a folder fails with EISDIR).
bool failReadsOf(const QString& path)
{
    const QDir fds("/proc/self/fd");
    const QString target = QFileInfo(path).canonicalFilePath();
    const int folder = ::open(qPrintable(QDir::tempPath()), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int replaced = 0;
    for (const QFileInfo& fd : fds.entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot))
        if (fd.symLinkTarget() == target && ::dup2(folder, fd.fileName().toInt()) >= 0)
            ++replaced;
    ::close(folder);
    return replaced > 0;
}

// Runs `call` once, just before the first call posted to `target` is handled while `when` holds:
// what the engine posted is handled after what the window did meanwhile.
class BeforeCall : public QObject {
public:
    BeforeCall(QObject* target, std::function<bool()> when, std::function<void()> call)
        : when_(std::move(when)), call_(std::move(call))
    {
        target->installEventFilter(this);
    }
    bool done() const { return !call_; }
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::MetaCall && call_ && when_())
            std::exchange(call_, {})();
        return false;
    }

private:
    std::function<bool()> when_;
    std::function<void()> call_;
};

} // namespace


// What a user meets: odd layouts play, a broken file says so, a paused seek shows where it went,
// the end stops at the end and a replay starts over.
TEST(VideoPlayer, playsSeeksEndsAndFailsAsAUserExpects)
{
    QTemporaryDir dir;
    const QString clip = app::test::makeClip(dir, "clip.mp4", "320x240", 3);
    // Palettes: Qt's media backends either could not show these or read past their planes.
    const QString avi = app::test::makeClip(dir, "pal8.avi", "160x120", 1, {"-c:v", "rawvideo", "-pix_fmt", "pal8"});
    const QString mov = app::test::makeClip(dir, "png-pal8.mov", "160x120", 1, {"-c:v", "png", "-pix_fmt", "pal8"});
    const QString broken = dir.filePath("broken.mp4");
    {
        QFile file(broken);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(4096, 'x'));
    }

    // Pictures whose data is gone: the file opens, nothing in it decodes.
    const QString spoiled = app::test::makeClip(dir, "spoiled.mp4", "160x120", 1,
                                                {"-an", "-c:v", "libx264", "-preset", "ultrafast", "-movflags", "+faststart"});
    ASSERT_TRUE(app::test::spoilMediaData(spoiled, 0));
    // Pictures from the middle on whose data is gone: the file is whole, its second half does not decode.
    const QString halfSpoiled = app::test::makeClip(dir, "half-spoiled.mp4", "160x120", 4,
                                                    {"-an", "-c:v", "libvpx-vp9", "-deadline", "realtime",
                                                     "-movflags", "+faststart"});
    ASSERT_TRUE(app::test::spoilMediaData(halfSpoiled, 0, 0.5));
    // Cut to half its bytes after its header: it says 4 s and holds 2.
    const QString cut = app::test::makeClip(dir, "cut.mp4", "160x120", 4, {"-c:v", "libx264", "-preset", "ultrafast",
                                                                           "-c:a", "aac", "-movflags", "+faststart"});
    ASSERT_TRUE(QFile::resize(cut, QFileInfo(cut).size() / 2));
    // Parameter sets declaring more than a camera makes, shown whole or cropped to a little.
    const QString declared = dir.filePath("declared.mp4");
    const QString cropped = dir.filePath("cropped.mp4");
    ASSERT_TRUE(::test::craftedheif::hevcClip(declared, 16000, 16000));
    ASSERT_TRUE(::test::craftedheif::hevcClip(cropped, 16000, 16000, 64, 64));
    const QString later = dir.filePath("later.mp4");
    ASSERT_TRUE(::test::craftedheif::hevcClip(later, 16000, 16000, 320, 240, true));

    // Tracks beside the pictures that run longer than they do: not a file cut short.
    const QString longerSound = app::test::clipOfLengths(dir, "longer-sound.mp4", 2, 4);
    const QString longSubtitles = app::test::clipWithLongSubtitles(dir, "long-subtitles.mp4", false);
    // A fragment declaring 16,777,216 samples: 11 KB that FFmpeg's index would make 526 MiB.
    const QString declaring = app::test::makeFragmentDeclaring(dir, "declaring.mp4", 16777216);

    // Clips as cameras and editors write them.
    const QString offset = dir.filePath("offset.mp4"); // cut from a longer recording
    ASSERT_TRUE(ffmpeg({"-f", "lavfi", "-i", "testsrc=duration=2:size=160x120:rate=25", "-f", "lavfi", "-i",
                        "sine=duration=2", "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-c:a",
                        "aac", "-output_ts_offset", "10", offset}));
    // Joined camera segments, the second larger and wider.
    const QString grown = dir.filePath("grown.ts");
    {
        QFile joined(grown);
        ASSERT_TRUE(joined.open(QIODevice::WriteOnly));
        for (const QString size : {"160x120", "320x180"}) {
            QFile segment(app::test::makeClip(dir, size + ".ts", size, 1,
                                              {"-an", "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p",
                                               "-output_ts_offset", size == "160x120" ? "0" : "1"}));
            ASSERT_TRUE(segment.open(QIODevice::ReadOnly));
            joined.write(segment.readAll());
        }
    }
    const QString coverPicture = dir.filePath("cover.png"), withCover = dir.filePath("with-cover.m4a");
    ASSERT_TRUE(ffmpeg({"-f", "lavfi", "-i", "testsrc=size=160x120", "-frames:v", "1", coverPicture}));
    ASSERT_TRUE(ffmpeg({"-f", "lavfi", "-i", "sine=duration=2", "-i", coverPicture, "-map", "0", "-map", "1", "-c:a",
                        "aac", "-c:v", "png", "-disposition:v", "attached_pic", withCover}));
    const QString cutAvi = app::test::makeClip(dir, "cut.avi", "160x120", 4, {"-an", "-c:v", "mpeg4"});
    ASSERT_TRUE(QFile::resize(cutAvi, QFileInfo(cutAvi).size() / 2));
    // Pixels a third wider than tall, as an HDV camera's 1440x1080 shown at 16:9 (smaller here).
    const QString hdv = app::test::makeClip(dir, "hdv.mp4", "360x270", 1, {"-an", "-c:v", "libx264", "-preset",
                                                                          "ultrafast", "-aspect", "16:9"});
    const QString empty = dir.filePath("empty.mp4"), text = dir.filePath("notes.mov");
    {
        QFile file(empty);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        QFile notes(text);
        ASSERT_TRUE(notes.open(QIODevice::WriteOnly));
        notes.write("Shopping list\nmilk\neggs\n");
    }

    const QString unreadable = QStringLiteral("无法播放这个视频：文件无法读取。");
    const QString corrupt = QStringLiteral("无法播放这个视频：文件已损坏。");
    struct Row {
        const char* name;
        QString path;
        QString error;
        bool portrait;
        // The text stands over the last picture shown.
        bool picture;
        // Played to its end, which ends it as ended when there is no text.
        bool toEnd = false;
        // The last picture's width over its height, and the clip's length in ms, when given.
        double shape = 0;
        qint64 length = 0;
    };
    const Row rows[] = {
        {"paletted AVI", avi, {}, false, true},
        {"paletted PNG frames in MOV", mov, {}, false, true},
        // A phone held upright: its display matrix turns the frames a quarter.
        {"turned by its display matrix", app::test::fixturePath("thumbnails/rotated-video.mp4"), {}, true, true},
        // Nothing FFmpeg can open.
        {"not a video", broken, unreadable, false, false},
        {"0 bytes", empty, unreadable, false, false},
        {"text", text, unreadable, false, false},
        {"missing", dir.filePath("gone.mp4"), unreadable, false, false},
        // A playlist dressed as a movie must not make FFmpeg open the files or addresses it lists.
        {"playlist named .mov", app::test::fixturePath("thumbnails/hls-playlist.mov"), unreadable, false, false},
        {"no picture decodes", spoiled, corrupt, false, false},
        {"data ends before its length", cut, unreadable, false, true},
        {"VP9 whose second half does not decode", halfSpoiled, unreadable, false, true, true},
        {"coding 16000x16000", declared, unreadable, false, false},
        {"coding 16000x16000 cropped to 64x64", cropped, unreadable, false, false},
        {"a later parameter set coding 16000x16000 cropped to 320x240", later, unreadable, false, true},
        {"2 s of pictures beside 4 s of sound", longerSound, {}, false, true, true},
        {"2 s of pictures beside a 10 s subtitle track", longSubtitles, {}, false, true, true},
        {"a fragment declaring 16,777,216 samples", declaring, unreadable, false, false},
        {"timestamps from 10 s", offset, {}, false, true, true, 4.0 / 3, 2000},
        {"a picture size growing part way", grown, {}, false, true, true, 16.0 / 9, 2000},
        {"an audio file with a cover", withCover, {}, false, true, true, 4.0 / 3, 2000},
        {"AVI cut in half", cutAvi, unreadable, false, true, true},
        {"anamorphic HDV", hdv, {}, false, true, true, 16.0 / 9},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const double peak = app::test::peakGrowthMiB([&] {
        VideoSurfaceWidget surface;
        surface.resize(160, 160);
        VideoPlayer player;
        player.setAudioDevice({});
        surface.setPlayer(&player);
        player.setSource(QUrl::fromLocalFile(row.path));
        player.play();
        if (row.length > 0) {
            ASSERT_EVENTUALLY(player.duration() > 0);
            EXPECT_NEAR(player.duration(), row.length, 50);
        }
        if (row.toEnd) {
            ASSERT_TRUE(app::test::waitFor([&] { return player.mediaStatus() == QMediaPlayer::EndOfMedia
                                                         || player.mediaStatus() == QMediaPlayer::InvalidMedia; },
                                           20000));
        }
        ASSERT_EVENTUALLY(row.error.isEmpty() ? surface.hasFrame() : !surface.errorText().isEmpty());
        EXPECT_EQ(surface.errorText(), row.error);
        EXPECT_EQ(player.errorString(), row.error);
        EXPECT_EQ(player.mediaStatus() == QMediaPlayer::InvalidMedia, !row.error.isEmpty());
        EXPECT_EQ(surface.hasFrame(), row.picture);
        const QImage shown = surface.currentImage();
        EXPECT_EQ(!shown.isNull() && shown.height() > shown.width(), row.portrait);
        if (row.shape > 0 && !shown.isNull()) {
            EXPECT_NEAR(double(shown.width()) / shown.height(), row.shape, 0.03);
        }
        if (row.toEnd && row.error.isEmpty()) {
            EXPECT_EQ(player.mediaStatus(), QMediaPlayer::EndOfMedia);
        }
        });
        EXPECT_LT(peak, 64);
    }

    VideoPlayer player;
    player.setAudioDevice({});
    qint64 shownAt = -1;
    // The picture's own time comes with each picture, right after it.
    qint64 pictureAt = -1;
    bool picture = false;
    QObject::connect(&player, &VideoPlayer::frameChanged, &player, [&] {
        shownAt = player.position();
        picture = true;
    });
    QObject::connect(&player, &VideoPlayer::positionChanged, &player, [&](qint64 ms) {
        if (std::exchange(picture, false))
            pictureAt = ms;
    });
    QSignalSpy statuses(&player, &VideoPlayer::mediaStatusChanged);
    player.setSource(QUrl::fromLocalFile(clip));
    ASSERT_EVENTUALLY(player.mediaStatus() == QMediaPlayer::LoadedMedia);
    EXPECT_EQ(player.duration(), 3000);
    player.play();
    ASSERT_EVENTUALLY(player.position() > 300);
    // A slider dragged fast: seeks overtake each other, and it still plays on from the last.
    for (int ms = 0; ms < 2000; ms += 100)
        player.setPosition(ms);
    player.setPosition(400);
    ASSERT_EVENTUALLY(shownAt > 600);
    player.pause();
    const quint64 before = player.frameNumber();
    player.setPosition(2000);
    ASSERT_EVENTUALLY(player.frameNumber() > before);
    EXPECT_EQ(player.position(), 2000);
    // The picture is the one at 2 s, not the key picture the decoding started from (the clip has
    // one, at 0 s).
    EXPECT_NEAR(pictureAt, 2000, 40);
    EXPECT_EQ(player.playbackState(), QMediaPlayer::PausedState);
    player.play();
    ASSERT_EVENTUALLY(player.mediaStatus() == QMediaPlayer::EndOfMedia);
    EXPECT_EQ(player.playbackState(), QMediaPlayer::StoppedState);
    EXPECT_EQ(player.position(), 3000);
    // Played from two seconds on, it ended about a second later: nothing was replayed or skipped.
    EXPECT_GT(shownAt, 2800);
    player.play();
    ASSERT_EVENTUALLY(player.playbackState() == QMediaPlayer::PlayingState && shownAt >= 0 && shownAt < 1000);

    // A transport stream with one key picture has none after a seek: it is decoded from its start.
    const QString oneKey = app::test::makeClip(dir, "one-key.ts", "160x120", 3,
                                               {"-an", "-c:v", "libx264", "-preset", "ultrafast", "-g", "1000", "-f", "mpegts"});
    player.setSource(QUrl::fromLocalFile(oneKey));
    ASSERT_EVENTUALLY(player.mediaStatus() == QMediaPlayer::LoadedMedia);
    player.pause();
    const quint64 beforeSeek = player.frameNumber();
    player.setPosition(2000);
    ASSERT_EVENTUALLY(player.frameNumber() > beforeSeek);
    EXPECT_NEAR(pictureAt, 2000, 40);

    // A failure still on its way when the source goes reaches no engine.
    QCoreApplication::sendPostedEvents(&player, QEvent::MetaCall);
    {
        BeforeCall goes(&player, [] { return true; }, [&] { player.setSource({}); });
        player.setSource(QUrl::fromLocalFile(dir.filePath("gone.mp4")));
        ASSERT_EVENTUALLY(goes.done());
    }
    EXPECT_EQ(player.mediaStatus(), QMediaPlayer::NoMedia);
    EXPECT_EQ(player.errorString(), QString());

    // A seek that comes after the engine stopped at the end and before that end reached the
    // player (the window was busy): playing goes on from where the seek went, or the controls would
    // show a pause button over a still picture. The seek comes just before the first call from the
    // engine once its clock is at the end: the end, once the last picture was handled in time.
    const QString second = app::test::makeClip(dir, "second.mp4", "160x120", 1, {"-an", "-c:v", "libx264", "-preset", "ultrafast"});
    player.setSource(QUrl::fromLocalFile(second));
    ASSERT_EVENTUALLY(player.mediaStatus() == QMediaPlayer::LoadedMedia);
    BeforeCall seek(&player, [&] { return player.position() >= player.duration(); }, [&] { player.setPosition(200); });
    player.play();
    ASSERT_EVENTUALLY(seek.done());
    ASSERT_EVENTUALLY(player.position() > 400 || player.mediaStatus() == QMediaPlayer::EndOfMedia);
    EXPECT_EQ(player.mediaStatus(), QMediaPlayer::LoadedMedia);
    EXPECT_EQ(player.playbackState(), QMediaPlayer::PlayingState);
    ASSERT_EVENTUALLY(player.mediaStatus() == QMediaPlayer::EndOfMedia);

    // The drive goes part way through a clip longer than what is read ahead (300 pictures, here 3 s
    // at 100 a second, each a key frame so that the rest is far more than the reader buffers): what
    // was read plays, then it says why it stopped short rather than ending as if it were over.
    const QString longClip = app::test::makeClip(dir, "long.mp4", "320x240", 4,
                                                 {"-c:v", "libx264", "-preset", "ultrafast", "-g", "1", "-r", "100",
                                                  "-c:a", "aac"});
    VideoSurfaceWidget surface;
    surface.resize(160, 160);
    VideoPlayer pulled;
    pulled.setAudioDevice({});
    surface.setPlayer(&pulled);
    pulled.setSource(QUrl::fromLocalFile(longClip));
    ASSERT_EVENTUALLY(pulled.mediaStatus() == QMediaPlayer::LoadedMedia);
    ASSERT_TRUE(failReadsOf(longClip));
    pulled.play();
    ASSERT_TRUE(app::test::waitFor([&] { return pulled.mediaStatus() != QMediaPlayer::LoadedMedia; }, 20000));
    EXPECT_EQ(pulled.mediaStatus(), QMediaPlayer::InvalidMedia);
    EXPECT_EQ(pulled.errorString(), unreadable);
    EXPECT_EQ(surface.errorText(), unreadable);
    EXPECT_TRUE(surface.hasFrame());
}
