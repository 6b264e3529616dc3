#include "app/platform/playback/PlaybackEngine.h"
#include "app/platform/playback/VideoPlayer.h"
#include "app/views/video/VideoSurfaceWidget.h"

#include "support/app/CraftedHeif.h"
#include "support/app/Eventually.h"
#include "support/app/Fixtures.h"
#include "support/app/MediaClips.h"
#include "support/app/SoundServer.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QMediaDevices>
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

// Makes an MP4's AAC header name an object type (CELP) the decoder does not take: the sound
// stream is there and cannot be opened.
bool unopenableSound(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite))
        return false;
    QByteArray bytes = file.readAll();
    // The decoder's own configuration, after its descriptor tag and four-byte length.
    const qsizetype at = bytes.indexOf(QByteArray("\x05\x80\x80\x80", 4));
    if (at < 0)
        return false;
    char& first = bytes[at + 5];
    first = char((8 << 3) | (uchar(first) & 0x07));
    return file.seek(0) && file.write(bytes) == bytes.size();
}

// An MP4 of `pictures` seconds of 160x120 pictures at 25 a second beside `sound` seconds of AAC,
// the two lengths apart as phone and edited clips have them.
QString clipOfLengths(const QTemporaryDir& dir, const QString& name, double pictures, double sound)
{
    const QString path = dir.filePath(name);
    ffmpeg({"-f", "lavfi", "-i", QString("testsrc=duration=%1:size=160x120:rate=25").arg(pictures), "-f", "lavfi",
            "-i", QString("sine=frequency=440:duration=%1").arg(sound), "-c:v", "libx264", "-preset", "ultrafast",
            "-pix_fmt", "yuv420p", "-c:a", "aac", path});
    return path;
}

// A 2 s clip beside a subtitle track that runs 10 s, as a camera's timecode or telemetry track does.
QString clipWithLongSubtitles(const QTemporaryDir& dir, const QString& name, bool sound)
{
    const QString subtitles = dir.filePath(name + ".srt");
    QFile file(subtitles);
    if (!file.open(QIODevice::WriteOnly))
        return {};
    file.write("1\n00:00:00,000 --> 00:00:10,000\nTC 00:00:00:00\n");
    file.close();
    const QString pictures = sound ? app::test::makeClip(dir, name + "-pictures.mp4", "160x120", 2)
                                   : app::test::makeClip(dir, name + "-pictures.mp4", "160x120", 2,
                                                         {"-an", "-c:v", "libx264", "-preset", "ultrafast"});
    const QString path = dir.filePath(name);
    ffmpeg({"-i", pictures, "-i", subtitles, "-map", "0", "-map", "1", "-c", "copy", "-c:s", "mov_text", path});
    return path;
}

// Matroska clips of 2 s of pictures beside PCM sound whose shape no camera makes, from
// aevalsrc's `sound` source.
QString clipWithSound(const QTemporaryDir& dir, const QString& name, const QString& sound)
{
    const QString path = dir.filePath(name);
    ffmpeg({"-f", "lavfi", "-i", "testsrc=duration=2:size=160x120:rate=25", "-f", "lavfi", "-i", sound, "-c:v",
            "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-c:a", "pcm_s16le", path});
    return path;
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
    const QString longerSound = clipOfLengths(dir, "longer-sound.mp4", 2, 4);
    const QString longSubtitles = clipWithLongSubtitles(dir, "long-subtitles.mp4", false);
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


// Through a sound server, as on a desktop, where the sink takes samples only while it plays: a
// clip whose sound cannot be opened plays silently, seeks and ends; one whose pictures come 3 s
// after its sound starts at once; one whose sound ends first plays on to its last picture and ends
// with it; sound no camera makes is left out without costing memory; a pause corks the stream and
// leaving the clip removes it; a sink suspended or a server gone mid-clip leaves the clip to play
// on silently to its end.
TEST(VideoPlayer, playsThroughASoundServer)
{
    app::test::SoundServer server;
    ASSERT_FALSE(QMediaDevices::defaultAudioOutput().isNull());
    QTemporaryDir dir;
    const QString oddSound = app::test::makeClip(dir, "odd-sound.mp4", "160x120", 2);
    ASSERT_TRUE(unopenableSound(oddSound));
    // Its picture track starts 3 s into its sound, and 3 s into the file.
    const QString sound = dir.filePath("sound.m4a"), lateVideo = dir.filePath("late-video.mp4");
    ASSERT_TRUE(ffmpeg({"-f", "lavfi", "-i", "sine=frequency=440:duration=5", "-c:a", "aac", sound}));
    ASSERT_TRUE(ffmpeg({"-i", sound, "-itsoffset", "3", "-i", app::test::makeClip(dir, "pictures.mp4", "160x120", 2),
                        "-map", "0:a", "-map", "1:v", "-c", "copy", lateVideo}));
    const QString lateSound = dir.filePath("late-sound.mp4");
    ASSERT_TRUE(ffmpeg({"-f", "lavfi", "-i", "testsrc=duration=5:size=160x120:rate=25", "-itsoffset", "3", "-f",
                        "lavfi", "-i", "sine=duration=2", "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt",
                        "yuv420p", "-c:a", "aac", lateSound}));
    const QString silence64 = QStringList(64, "0").join('|');
    struct Row {
        const char* name;
        QString path;
        bool sound;
        // The time the last picture ends, when the clip is to end with it (within 0.3 s).
        double pictures = 0;
    };
    const Row rows[] = {
        {"sound that cannot be opened", oddSound, false},
        {"pictures 3 s after the sound", lateVideo, true},
        {"sound 3 s after the pictures", lateSound, true, 5},
        {"sound and pictures ending together", clipOfLengths(dir, "together.mp4", 3, 3), true, 3},
        {"sound ending 0.05 s before the pictures", clipOfLengths(dir, "early-0.05.mp4", 3, 2.95), true, 3},
        {"sound ending 0.3 s before the pictures", clipOfLengths(dir, "early-0.3.mp4", 3, 2.7), true, 3},
        {"sound ending 4 s before the pictures", clipOfLengths(dir, "early-4.mp4", 5, 1), true, 5},
        {"2 s of pictures beside 4 s of sound", clipOfLengths(dir, "longer-sound.mp4", 2, 4), true},
        {"2 s of pictures beside a 10 s subtitle track", clipWithLongSubtitles(dir, "long-subtitles.mp4", true), true, 2},
        // 100,000-sample blocks at 1 Hz: resampled, a block would ask for 3 GB.
        {"sound at 1 Hz", clipWithSound(dir, "1hz.mkv", "aevalsrc=0:s=1:n=100000:d=100000"), false, 2},
        {"sound at 1,000,000 Hz", clipWithSound(dir, "1mhz.mkv", "aevalsrc=0:s=1000000:d=0.5"), false, 2},
        {"sound of 64 channels", clipWithSound(dir, "64ch.mkv", "aevalsrc=" + silence64 + ":s=8000:d=1"), false, 2},
        // Opened, then left out at its first block.
        {"a 10 s block of sound", clipWithSound(dir, "block.mkv", "aevalsrc=0|0:s=48000:n=480000:d=10"), true, 2},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        QElapsedTimer wall;
        wall.start();
        qint64 lastPictureAt = -1, endedAt = -1, endedAfter = -1, playedAt = -1;
        double lastPicture = -1, lastBeforeEnd = -1;
        const double peak = app::test::peakGrowthMiB([&] {
            VideoSurfaceWidget surface;
            surface.resize(160, 160);
            VideoPlayer player;
            surface.setPlayer(&player);
            bool picture = false;
            QObject::connect(&player, &VideoPlayer::frameChanged, &player, [&] {
                lastPictureAt = wall.elapsed();
                picture = true;
            });
            QObject::connect(&player, &VideoPlayer::positionChanged, &player, [&](qint64 ms) {
                if (std::exchange(picture, false))
                    lastPicture = double(ms) / 1000;
            });
            QObject::connect(&player, &VideoPlayer::mediaStatusChanged, &player, [&](QMediaPlayer::MediaStatus s) {
                if (s == QMediaPlayer::EndOfMedia && endedAt < 0) {
                    endedAt = wall.elapsed();
                    endedAfter = endedAt - lastPictureAt;
                    lastBeforeEnd = lastPicture;
                }
            });
            player.setSource(QUrl::fromLocalFile(row.path));
            ASSERT_EVENTUALLY(player.mediaStatus() == QMediaPlayer::LoadedMedia);
            EXPECT_EQ(player.hasAudio(), row.sound);
            playedAt = wall.elapsed();
            player.play();
            // Time goes on whether a picture came yet or not.
            ASSERT_EVENTUALLY(player.position() > 1200);
            ASSERT_TRUE(app::test::waitFor([&] { return player.mediaStatus() != QMediaPlayer::LoadedMedia; }, 15000));
            EXPECT_EQ(player.mediaStatus(), QMediaPlayer::EndOfMedia);
            EXPECT_TRUE(surface.hasFrame());
            EXPECT_EQ(player.errorString(), QString());
            // Back to the start after the end, as the controls do.
            const quint64 before = player.frameNumber();
            player.stop();
            player.setPosition(0);
            ASSERT_EVENTUALLY(player.frameNumber() > before);
        });
        EXPECT_LT(peak, 64);
        if (row.pictures > 0) {
            // The last picture is shown, and the clip ends with it.
            EXPECT_GE(lastBeforeEnd, row.pictures - 0.041);
            EXPECT_LT(endedAfter, 300);
            // Nor was the clock pulled back on the way (a sink that wakes late, sound that ends),
            // or pushed on (sound that starts late).
            EXPECT_LT(endedAt - playedAt, qint64(row.pictures * 1000) + 1000);
            EXPECT_GT(endedAt - playedAt, qint64(row.pictures * 1000) - 500);
        }
        std::printf("%s: peak growth %.1f MiB, ended %lld ms after its last picture (%.2f s), %lld ms after play\n",
                    row.name, peak, static_cast<long long>(endedAfter), lastBeforeEnd,
                    static_cast<long long>(endedAt - playedAt));
        std::fflush(stdout);
    }

    const QString clip = app::test::makeClip(dir, "clip.mp4", "160x120", 4);
    VideoPlayer player;
    player.setSource(QUrl::fromLocalFile(clip));
    player.play();
    ASSERT_EVENTUALLY(server.streamsCorked() == QList<bool>{false});
    player.pause();
    ASSERT_EVENTUALLY(server.streamsCorked() == QList<bool>{true});
    player.setSource({});
    ASSERT_EVENTUALLY(server.streamsCorked().isEmpty());

    // The sink stops taking samples 0.8 s into the clip, then the server goes: the clip plays on
    // silently to its end, within its length and 2 s, with nothing said. (The server goes last:
    // this process reaches no other after it.)
    for (const bool serverGone : {false, true}) {
        SCOPED_TRACE(serverGone ? "server gone" : "sink suspended");
        VideoSurfaceWidget surface;
        surface.resize(160, 160);
        VideoPlayer gone;
        surface.setPlayer(&gone);
        gone.setSource(QUrl::fromLocalFile(clip));
        ASSERT_EVENTUALLY(gone.mediaStatus() == QMediaPlayer::LoadedMedia);
        ASSERT_TRUE(gone.hasAudio());
        QElapsedTimer wall;
        wall.start();
        gone.play();
        // The test's sink wakes to a new stream only at the end of its idle block (1.6 s here): the
        // sink is suspended once it has been heard taking samples, the server 0.8 s in.
        ASSERT_TRUE(app::test::waitFor([&] { return gone.position() > (serverGone ? 800 : 2000); }, 10000));
        if (serverGone) {
            server.stop();
        } else {
            ASSERT_TRUE(server.suspendSink(true));
        }
        ASSERT_TRUE(app::test::waitFor([&] { return gone.mediaStatus() != QMediaPlayer::LoadedMedia; }, 15000));
        EXPECT_EQ(gone.mediaStatus(), QMediaPlayer::EndOfMedia);
        EXPECT_LT(wall.elapsed(), 4000 + 2000);
        EXPECT_EQ(gone.errorString(), QString());
        EXPECT_EQ(surface.errorText(), QString());
        std::printf("%s: ended %lld ms after play\n", serverGone ? "server gone" : "sink suspended",
                    static_cast<long long>(wall.elapsed()));
        std::fflush(stdout);
        if (!serverGone) {
            ASSERT_TRUE(server.suspendSink(false));
        }
    }
}
