#include "app/platform/playback/VideoPlayer.h"
#include "app/views/video/VideoSurfaceWidget.h"

#include "support/app/Eventually.h"
#include "support/app/MediaClips.h"
#include "support/app/SoundServer.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QUrl>

#include <algorithm>
#include <cstring>
#include <cstdio>
#include <utility>

using namespace app;
using app::test::clipOfLengths;
using app::test::clipWithLongSubtitles;
using app::test::ffmpeg;

namespace {

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

// Matroska clips of 2 s of pictures beside PCM sound whose shape no camera makes, from
// aevalsrc's `sound` source.
QString clipWithSound(const QTemporaryDir& dir, const QString& name, const QString& sound)
{
    const QString path = dir.filePath(name);
    ffmpeg({"-f", "lavfi", "-i", "testsrc=duration=2:size=160x120:rate=25", "-f", "lavfi", "-i", sound, "-c:v",
            "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-c:a", "pcm_s16le", path});
    return path;
}

} // namespace

// Through a sound server, as on a desktop, where the sink takes samples only while it plays, and
// what its sink puts out recorded: every clip's sound is heard from its first moment to its last,
// after a seek too, at a phone's 8 kHz as well as at 1080p and 4K; a clip whose sound cannot be opened plays silently, seeks and ends; one whose pictures come 3 s
// after its sound starts at once; one whose sound ends first plays on to its last picture and ends
// with it; sound no camera makes is left out without costing memory; a pause corks the stream and
// leaving the clip removes it; a sink suspended or a server gone mid-clip leaves the clip to play
// on silently to its end.
TEST(VideoPlayer, playsThroughASoundServer)
{
    app::test::SoundServer server;
    QTemporaryDir dir;
    // 4 s of a 440 Hz tone beside pictures as cameras make them, small and quick to make.
    const auto toneClip = [&](const QString& name, const QString& size, const QStringList& video) {
        const QString path = dir.filePath(name);
        ffmpeg(QStringList{"-f", "lavfi", "-i", "testsrc2=duration=4:rate=30:size=" + size, "-f", "lavfi", "-i",
                           "sine=frequency=440:duration=4:sample_rate=48000"}
               + video + QStringList{"-b:v", "400k", "-pix_fmt", "yuv420p", "-c:a", "aac", path});
        return path;
    };
    const QString h264 = toneClip("1080p.mp4", "1920x1080", {"-c:v", "libx264", "-preset", "ultrafast"});
    const QString hevc = toneClip("4k.mp4", "3840x2160", {"-c:v", "libx265", "-preset", "ultrafast", "-x265-params",
                                                        "log-level=error", "-tag:v", "hvc1"});
    const QString phone = dir.filePath("8khz.mp4");
    ASSERT_TRUE(ffmpeg({"-f", "lavfi", "-i", "testsrc=duration=2:size=160x120:rate=25", "-f", "lavfi", "-i",
                        "sine=frequency=440:duration=2:sample_rate=8000", "-c:v", "libx264", "-preset", "ultrafast",
                        "-pix_fmt", "yuv420p", "-c:a", "aac", "-ar", "8000", phone}));
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
        // Seconds of its tone the sink puts out at the least, played from `from` s; what playing
        // may grow the process by, in MiB.
        double heard = 0, from = 0, mib = 64;
    };
    const Row rows[] = {
        {"sound that cannot be opened", oddSound, false},
        {"pictures 3 s after the sound", lateVideo, true},
        {"sound 3 s after the pictures", lateSound, true, 5},
        {"1080p H.264", h264, true, 4, 3.95, 0, 512},
        {"4K HEVC", hevc, true, 4, 3.95, 0, 512},
        {"1080p H.264 from 2 s", h264, true, 4, 1.95, 2, 512},
        {"8 kHz sound, as a phone's voice", phone, true, 2, 1.95},
        {"sound and pictures ending together", clipOfLengths(dir, "together.mp4", 3, 3), true, 3, 2.95},
        {"sound ending 0.05 s before the pictures", clipOfLengths(dir, "early-0.05.mp4", 3, 2.95), true, 3},
        {"sound ending 0.3 s before the pictures", clipOfLengths(dir, "early-0.3.mp4", 3, 2.7), true, 3},
        {"sound ending 4 s before the pictures", clipOfLengths(dir, "early-4.mp4", 5, 1), true, 5},
        {"2 s of pictures beside 4 s of sound", clipOfLengths(dir, "longer-sound.mp4", 2, 4), true, 0, 3.95},
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
        qint64 lastPictureAt = -1, endedAt = -1, endedAfter = -1, playedAt = -1, firstAt = -1;
        double lastPicture = -1, lastBeforeEnd = -1;
        const auto recording = server.record();
        const double peak = app::test::peakGrowthMiB([&] {
            VideoSurfaceWidget surface;
            surface.resize(160, 160);
            VideoPlayer player;
            surface.setPlayer(&player);
            bool picture = false;
            QObject::connect(&player, &VideoPlayer::frameChanged, &player, [&] {
                lastPictureAt = wall.elapsed();
                if (playedAt >= 0 && firstAt < 0)
                    firstAt = lastPictureAt;
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
            if (row.from > 0) {
                const quint64 before = player.frameNumber();
                player.setPosition(qint64(row.from * 1000));
                ASSERT_EVENTUALLY(player.frameNumber() > before);
            }
            playedAt = wall.elapsed();
            player.play();
            // Time goes on whether a picture came yet or not.
            ASSERT_EVENTUALLY(player.position() > row.from * 1000 + 1200);
            ASSERT_TRUE(app::test::waitFor([&] { return player.mediaStatus() != QMediaPlayer::LoadedMedia; }, 15000));
            EXPECT_EQ(player.mediaStatus(), QMediaPlayer::EndOfMedia);
            EXPECT_TRUE(surface.hasFrame());
            EXPECT_EQ(player.errorString(), QString());
            recording->stop();
            // Back to the start after the end, as the controls do.
            const quint64 before = player.frameNumber();
            player.stop();
            player.setPosition(0);
            ASSERT_EVENTUALLY(player.frameNumber() > before);
        });
        EXPECT_LT(peak, row.mib);
        const double heard = recording->heard();
        EXPECT_GE(heard, row.heard);
        if (row.pictures > 0) {
            // The last picture is shown, and the clip ends with it.
            EXPECT_GE(lastBeforeEnd, row.pictures - 0.041);
            EXPECT_LT(endedAfter, 300);
            // Nor was the clock pulled back on the way (a sink that wakes late, sound that ends),
            // or pushed on (sound that starts late): from the first picture, which waits for the
            // sound to be heard, the clip lasts as long as it is.
            const qint64 length = qint64((row.pictures - row.from) * 1000);
            EXPECT_LT(endedAt - firstAt, length + 500);
            EXPECT_GT(endedAt - firstAt, length - 500);
        }
        std::printf("%s: %.2f s of its tone heard, peak growth %.1f MiB, ended %lld ms after its last picture (%.2f s), "
                    "first picture %lld ms and end %lld ms after play\n",
                    row.name, heard, peak, static_cast<long long>(endedAfter), lastBeforeEnd,
                    static_cast<long long>(firstAt - playedAt), static_cast<long long>(endedAt - playedAt));
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

    // The sink stops taking samples 2 s into the clip, then the server goes 0.8 s in: the clip plays
    // on silently to its end, within its length and 2 s, with nothing said, its picture standing
    // still no longer than a stalled device is given; then the server comes back on its socket, and
    // the next clip opened is heard whole.
    for (const char* step : {"sink suspended", "server gone", "server back"}) {
        SCOPED_TRACE(step);
        const bool serverGone = std::strcmp(step, "server gone") == 0, back = std::strcmp(step, "server back") == 0;
        std::unique_ptr<app::test::MonitorRecording> recording;
        if (back) {
            server.start();
            recording = server.record();
        }
        VideoSurfaceWidget surface;
        surface.resize(160, 160);
        VideoPlayer gone;
        surface.setPlayer(&gone);
        QElapsedTimer wall;
        qint64 movedAt = 0, stood = 0, shown = -1, firstAt = -1;
        QObject::connect(&gone, &VideoPlayer::positionChanged, &gone, [&](qint64 ms) {
            if (ms == shown)
                return;
            if (firstAt < 0)
                firstAt = wall.elapsed();
            stood = std::max(stood, wall.elapsed() - movedAt);
            movedAt = wall.elapsed();
            shown = ms;
        });
        gone.setSource(QUrl::fromLocalFile(clip));
        ASSERT_EVENTUALLY(gone.mediaStatus() == QMediaPlayer::LoadedMedia);
        ASSERT_TRUE(gone.hasAudio());
        wall.start();
        gone.play();
        ASSERT_TRUE(app::test::waitFor([&] { return gone.position() > (serverGone ? 800 : 2000); }, 10000));
        const qint64 moving = wall.elapsed();
        stood = 0;
        if (serverGone) {
            server.stop();
        } else if (!back) {
            ASSERT_TRUE(server.suspendSink(true));
        }
        ASSERT_TRUE(app::test::waitFor([&] { return gone.mediaStatus() != QMediaPlayer::LoadedMedia; }, 15000));
        EXPECT_EQ(gone.mediaStatus(), QMediaPlayer::EndOfMedia);
        EXPECT_LT(wall.elapsed() - firstAt, 4000 + 2000);
        EXPECT_LT(stood, 1500);
        EXPECT_EQ(gone.errorString(), QString());
        EXPECT_EQ(surface.errorText(), QString());
        if (back) {
            recording->stop();
            EXPECT_GE(recording->heard(), 3.95);
        }
        std::printf("%s: ended %lld ms after the first picture, standing still at most %lld ms after %lld ms\n",
                    step, static_cast<long long>(wall.elapsed() - firstAt), static_cast<long long>(stood),
                    static_cast<long long>(moving));
        std::fflush(stdout);
        if (!serverGone && !back) {
            ASSERT_TRUE(server.suspendSink(false));
        }
    }
}
