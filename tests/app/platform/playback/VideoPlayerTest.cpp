#include "app/platform/decoding/PaddedImage.h"
#include "app/platform/playback/HdrToneMapper.h"
#include "app/platform/playback/PlaybackEngine.h"
#include "app/platform/playback/VideoFrameScaler.h"
#include "app/platform/playback/VideoPlayer.h"
#include "app/views/video/VideoSurfaceWidget.h"

#include "support/app/CraftedHeif.h"
#include "support/app/Eventually.h"
#include "support/app/Fixtures.h"
#include "support/app/ImageCompare.h"
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
#include <cstring>
#include <atomic>
#include <cmath>
#include <mutex>
#include <thread>
#include <utility>

using namespace app;

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

// A frame with colour bars over a vertical gradient, written straight into its planes; `full`
// marks full-range values.
void bars(QSize size, int x, int y, int& Y, int& U, int& V)
{
    const int bar = x * 6 / size.width();
    Y = 16 + (219 * y) / size.height();
    U = 128 + (bar - 3) * 30;
    V = 128 + ((bar * 5) % 6 - 3) * 30;
}

struct FrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;

FramePtr barsFrame(QSize size, AVPixelFormat pixel, AVColorSpace space, bool full)
{
    FramePtr frame(av_frame_alloc());
    frame->format = pixel;
    frame->width = size.width();
    frame->height = size.height();
    frame->colorspace = space;
    frame->color_range = full ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
    if (av_frame_get_buffer(frame.get(), 0) < 0)
        return {};
    int Y, U, V;
    for (int y = 0; y < size.height(); ++y) {
        for (int x = 0; x < size.width(); ++x) {
            bars(size, x, y, Y, U, V);
            if (pixel == AV_PIX_FMT_BGRA) {
                uint8_t* p = frame->data[0] + y * frame->linesize[0] + x * 4;
                p[0] = uint8_t(U);
                p[1] = uint8_t(Y);
                p[2] = uint8_t(V);
                p[3] = 255;
                continue;
            }
            frame->data[0][y * frame->linesize[0] + x] = uint8_t(Y);
            if (x % 2 || y % 2)
                continue;
            if (pixel == AV_PIX_FMT_NV12) {
                uint8_t* p = frame->data[1] + (y / 2) * frame->linesize[1] + x;
                p[0] = uint8_t(U);
                p[1] = uint8_t(V);
            } else {
                frame->data[1][(y / 2) * frame->linesize[1] + x / 2] = uint8_t(U);
                frame->data[2][(y / 2) * frame->linesize[2] + x / 2] = uint8_t(V);
            }
        }
    }
    return frame;
}

// The same bars worked out by the textbook formulas, packed RGB taken as it stands.
QImage expectedBars(QSize size, AVPixelFormat pixel, double kr, double kb, bool full)
{
    QImage image(size, QImage::Format_RGB32);
    int Y, U, V;
    for (int y = 0; y < size.height(); ++y) {
        for (int x = 0; x < size.width(); ++x) {
            bars(size, x, y, Y, U, V);
            if (pixel == AV_PIX_FMT_BGRA) {
                image.setPixel(x, y, qRgb(V, Y, U));
                continue;
            }
            const double luma = full ? Y / 255.0 : (Y - 16) / 219.0;
            const double cb = (U - 128) / (full ? 255.0 : 224.0), cr = (V - 128) / (full ? 255.0 : 224.0);
            const double r = luma + 2 * (1 - kr) * cr, b = luma + 2 * (1 - kb) * cb;
            const double g = (luma - kr * r - kb * b) / (1 - kr - kb);
            const auto byte = [](double v) { return int(std::lround(std::clamp(v, 0.0, 1.0) * 255)); };
            image.setPixel(x, y, qRgb(byte(r), byte(g), byte(b)));
        }
    }
    return image;
}

// Runs ffmpeg; false (with its complaint) when it fails.
bool ffmpeg(const QStringList& arguments)
{
    QProcess p;
    p.start("ffmpeg", QStringList{"-nostdin", "-hide_banner", "-loglevel", "error", "-y"} + arguments);
    if (p.waitForFinished(120000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0)
        return true;
    ADD_FAILURE() << "ffmpeg " << arguments.join(' ').toStdString() << ": " << p.readAllStandardError().toStdString();
    return false;
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

} // namespace

// The picture the formulas give, scaled to fit the box, for each layout, matrix and range a decoder
// hands over (shrunk ones go through YUV first); an undeclared matrix is BT.709 in HD and BT.601 below.
TEST(VideoFrameScaler, convertsWithTheFramesMatrixAndRangeScaledToTheBox)
{
    struct Row {
        const char* name;
        QSize size;
        AVPixelFormat pixel;
        AVColorSpace space;
        bool full;
        QSize box;
        QSize expected;
        double kr, kb;
    };
    const double bt601[] = {0.299, 0.114}, bt709[] = {0.2126, 0.0722};
    const Row rows[] = {
        {"4:2:0 planes, HD, undeclared, shrunk", {1280, 720}, AV_PIX_FMT_YUV420P, AVCOL_SPC_UNSPECIFIED, false,
         {640, 640}, {640, 360}, bt709[0], bt709[1]},
        {"4:2:0 planes, SD, undeclared, kept", {320, 240}, AV_PIX_FMT_YUV420P, AVCOL_SPC_UNSPECIFIED, false,
         {640, 480}, {320, 240}, bt601[0], bt601[1]},
        {"4:2:0 planes, BT.601", {320, 240}, AV_PIX_FMT_YUV420P, AVCOL_SPC_SMPTE170M, false, {}, {320, 240},
         bt601[0], bt601[1]},
        {"interleaved chroma, BT.709, full range, shrunk", {640, 480}, AV_PIX_FMT_NV12, AVCOL_SPC_BT709, true,
         {320, 320}, {320, 240}, bt709[0], bt709[1]},
        {"BT.2020, shrunk by height", {640, 480}, AV_PIX_FMT_NV12, AVCOL_SPC_BT2020_NCL, false, {1000, 120},
         {160, 120}, 0.2627, 0.0593},
        {"packed BGRA", {320, 240}, AV_PIX_FMT_BGRA, AVCOL_SPC_UNSPECIFIED, false, {160, 160}, {160, 120}, 0, 0},
    };
    VideoFrameScaler scaler;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const FramePtr frame = barsFrame(row.size, row.pixel, row.space, row.full);
        ASSERT_TRUE(frame);
        const QImage image = scaler.convert(*frame, row.box);
        ASSERT_EQ(image.size(), row.expected);
        const QImage reference = expectedBars(row.size, row.pixel, row.kr, row.kb, row.full)
                                     .scaled(row.expected, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        EXPECT_LT(app::test::meanDifference(image, reference), 2.5);
    }
    FramePtr empty(av_frame_alloc());
    EXPECT_TRUE(scaler.convert(*empty, {100, 100}).isNull());
}

// The memory a conversion writes into, followed by a guard whose bytes must stay as they were:
// AddressSanitizer cannot see swscale's writes.
struct Guarded {
    static constexpr qsizetype guard = 4096;
    static inline uchar* end = nullptr;
    static QImage allocate(QSize size, QImage::Format format)
    {
        const qsizetype bytes = PaddedImage::bytes(size);
        auto* memory = static_cast<uchar*>(std::malloc(size_t(bytes + guard)));
        std::memset(memory + bytes, 0xA5, size_t(guard));
        end = memory + bytes;
        return QImage(memory, size.width(), size.height(), PaddedImage::stride(size.width()), format, std::free, memory);
    }
    static bool intact() { return std::all_of(end, end + guard, [](uchar b) { return b == 0xA5; }); }
};

// swscale's vector writers overrun a tight image by up to 60 bytes at some widths (a 1080p clip in
// a 1002 or 1208 pixel wide box, a 152x114 clip at its own size): every width is tried, shrunk in
// two passes, in one, and unscaled, from each layout a decoder hands over.
TEST(VideoFrameScaler, writesNothingPastItsPicture)
{
    struct Row {
        const char* name;
        QSize source;
        AVPixelFormat pixel;
        bool full;
        int step;
        bool unscaled;
    };
    const Row rows[] = {
        {"4:2:0, 2048 wide", {2048, 288}, AV_PIX_FMT_YUV420P, false, 1, false},
        {"interleaved chroma, full range", {320, 240}, AV_PIX_FMT_NV12, true, 1, false},
        {"10-bit, 4K wide", {3840, 240}, AV_PIX_FMT_YUV420P10LE, false, 5, false},
        {"4:2:0 at its own size", {}, AV_PIX_FMT_YUV420P, false, 1, true},
    };
    VideoFrameScaler scaler;
    scaler.setAllocator(Guarded::allocate);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FramePtr frame = row.unscaled ? nullptr : barsFrame(row.source, row.pixel, AVCOL_SPC_BT709, row.full);
        const int widest = row.unscaled ? 640 : std::min(row.source.width(), 2000);
        for (int width = 2; width <= widest; width += row.step) {
            if (row.unscaled)
                frame = barsFrame({width, 6}, row.pixel, AVCOL_SPC_BT709, row.full);
            const QImage image = scaler.convert(*frame, {width, 100000});
            ASSERT_EQ(image.width(), width);
            ASSERT_TRUE(Guarded::intact()) << "width " << width;
        }
    }
    // Slivers shown in the default window's video box shrink to a pixel or two across.
    for (const QSize sliver : {QSize(16, 4000), QSize(2, 16000), QSize(4000, 16), QSize(16000, 2)}) {
        SCOPED_TRACE(sliver.width());
        const FramePtr frame = barsFrame(sliver, AV_PIX_FMT_YUV420P, AVCOL_SPC_BT709, false);
        const QImage image = scaler.convert(*frame, {988, 556});
        EXPECT_FALSE(image.isNull());
        EXPECT_TRUE(Guarded::intact());
    }
}

// A 10-bit BT.2020 clip in HLG or PQ shows the SDR colours ffmpeg's own tone mapping gives it
// (zscale to light, BT.709 primaries, Hable's curve), each channel within 8 on average; the
// signal shown as it stands is washed out (its green is off by 24 for HLG).
TEST(VideoFrameScaler, hdrClipsShowTheColoursOfFfmpegsToneMapping)
{
    struct Row {
        const char* name;
        const char* transfer;
        const char* size;
    };
    // The second HLG clip is shown at half its size: shrunk before its colours are worked out.
    const Row rows[] = {{"HLG", "arib-std-b67", "320x180"}, {"PQ", "smpte2084", "320x180"},
                        {"HLG shrunk", "arib-std-b67", "640x360"}};
    QTemporaryDir dir;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const QString clip = dir.filePath(QString(row.name) + ".mp4"), reference = dir.filePath(QString(row.name) + ".png");
        ASSERT_TRUE(ffmpeg({"-f", "lavfi", "-i", QString("testsrc2=size=%1:rate=10").arg(row.size), "-frames:v", "1", "-pix_fmt",
                            "yuv420p10le", "-c:v", "libx265", "-preset", "ultrafast", "-x265-params",
                            QString("log-level=error:colorprim=bt2020:colormatrix=bt2020nc:transfer=") + row.transfer,
                            "-color_primaries", "bt2020", "-color_trc", row.transfer, "-colorspace", "bt2020nc", clip}));
        ASSERT_TRUE(ffmpeg({"-i", clip, "-vf",
                            "zscale=t=linear:npl=100,format=gbrpf32le,zscale=p=bt709,tonemap=tonemap=hable:desat=0,"
                            "zscale=t=bt709,format=gbrp,scale=320:180:flags=area",
                            "-frames:v", "1", reference}));
        VideoSurfaceWidget surface;
        surface.resize(320, 180);
        surface.show();
        VideoPlayer player;
        surface.setPlayer(&player);
        player.setSource(QUrl::fromLocalFile(clip));
        player.play();
        ASSERT_EVENTUALLY(surface.hasFrame());
        player.stop();
        const QImage shown = surface.currentImage().convertToFormat(QImage::Format_RGB32);
        const QImage expected = QImage(reference).convertToFormat(QImage::Format_RGB32);
        ASSERT_EQ(shown.size(), expected.size());
        double sum[3] = {};
        for (int y = 0; y < shown.height(); ++y)
            for (int x = 0; x < shown.width(); ++x) {
                const QRgb a = shown.pixel(x, y), b = expected.pixel(x, y);
                sum[0] += std::abs(qRed(a) - qRed(b));
                sum[1] += std::abs(qGreen(a) - qGreen(b));
                sum[2] += std::abs(qBlue(a) - qBlue(b));
            }
        for (double channel : sum)
            EXPECT_LE(channel / (shown.width() * shown.height()), 8.0);
    }

    // Sixteen or eight pixels a step where the processor can, one at a time at a row's end: all
    // give the same colour for every grey and a spread of colours, or a row's last pixels would
    // differ.
    QImage colours(8 * 64, 2, QImage::Format_RGB32);
    for (int x = 0; x < colours.width(); ++x) {
        colours.setPixel(x, 0, qRgb(x % 256, x % 256, x % 256));
        colours.setPixel(x, 1, qRgb(x * 37 % 256, x * 101 % 256, x * 13 % 256));
    }
    for (const HdrToneMapper::Signal signal : {HdrToneMapper::Signal::hlg, HdrToneMapper::Signal::pq})
        for (const int lanes : {16, 8}) {
            SCOPED_TRACE(lanes);
            const HdrToneMapper mapper(signal, lanes);
            QImage manyAtATime = colours;
            mapper.map(manyAtATime, 0, manyAtATime.height());
            for (int y = 0; y < colours.height(); ++y)
                for (int x = 0; x < colours.width(); ++x) {
                    QImage one = colours.copy(x, y, 1, 1);
                    mapper.map(one, 0, 1);
                    ASSERT_EQ(one.pixel(0, 0), manyAtATime.pixel(x, y)) << "pixel " << x << "," << y;
                }
        }
}


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

    const QString unreadable = QStringLiteral("无法播放这个视频：文件无法读取。");
    const QString corrupt = QStringLiteral("无法播放这个视频：文件已损坏。");
    struct Row {
        const char* name;
        QString path;
        QString error;
        bool portrait;
        // The text stands over the last picture shown.
        bool picture;
    };
    const Row rows[] = {
        {"paletted AVI", avi, {}, false, true},
        {"paletted PNG frames in MOV", mov, {}, false, true},
        // A phone held upright: its display matrix turns the frames a quarter.
        {"turned by its display matrix", app::test::fixturePath("thumbnails/rotated-video.mp4"), {}, true, true},
        // Readable, but no video: not a drive that failed.
        {"not a video", broken, corrupt, false, false},
        {"missing", dir.filePath("gone.mp4"), unreadable, false, false},
        // A playlist dressed as a movie must not make FFmpeg open the files or addresses it lists.
        {"playlist named .mov", app::test::fixturePath("thumbnails/hls-playlist.mov"), corrupt, false, false},
        {"no picture decodes", spoiled, corrupt, false, false},
        {"data ends before its length", cut, unreadable, false, true},
        {"coding 16000x16000", declared, unreadable, false, false},
        {"coding 16000x16000 cropped to 64x64", cropped, unreadable, false, false},
        {"a later parameter set coding 16000x16000 cropped to 320x240", later, unreadable, false, true},
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
        ASSERT_EVENTUALLY(row.error.isEmpty() ? surface.hasFrame() : !surface.errorText().isEmpty());
        EXPECT_EQ(surface.errorText(), row.error);
        EXPECT_EQ(player.errorString(), row.error);
        EXPECT_EQ(player.mediaStatus() == QMediaPlayer::InvalidMedia, !row.error.isEmpty());
        EXPECT_EQ(surface.hasFrame(), row.picture);
        const QImage shown = surface.currentImage();
        EXPECT_EQ(!shown.isNull() && shown.height() > shown.width(), row.portrait);
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

// Pictures that take longer to show than the clip gives them (here 120 ms for each of its 33 ms
// frames): the clock keeps real time and the picture stays with it, the late ones dropped, rather
// than a clip played in slow motion or a picture ever further behind its sound.
TEST(PlaybackEngine, keepsRealTimeWhenPicturesAreSlowerThanTheClip)
{
    QTemporaryDir dir;
    const QString clip = app::test::makeClip(dir, "clip.mp4", "320x240", 6);
    std::mutex mutex;
    std::optional<QElapsedTimer> sinceFirst;
    double lastShown = -1;
    PlaybackEngine::Events events;
    events.loaded = [](double, bool) {};
    events.failed = [](const QString& reason) { ADD_FAILURE() << reason.toStdString(); };
    events.ended = [](quint64) {};
    events.frame = [&](const QImage&, double time, quint64) {
        {
            std::lock_guard lock(mutex);
            if (!sinceFirst) {
                sinceFirst.emplace();
                sinceFirst->start();
            }
            lastShown = time;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(120));
    };
    PlaybackEngine engine(clip, QAudioDevice(), events);
    engine.setRunning(true);
    ASSERT_TRUE(app::test::waitFor([&] {
        std::lock_guard lock(mutex);
        return sinceFirst && sinceFirst->elapsed() >= 2500;
    }, 20000));
    std::lock_guard lock(mutex);
    const double wall = double(sinceFirst->elapsed()) / 1000, position = engine.position();
    EXPECT_NEAR(position, wall, 0.25);
    EXPECT_LT(position - lastShown, 0.3);
    EXPECT_GT(engine.stats().late, 10u);
}

// Which late pictures are dropped unshown. Only a pile-up (the pictures are shown slower than they
// are decoded) or a picture far behind its sound is worth a gap on the screen; when the decoder is
// what falls behind, every picture it manages is shown.
TEST(PlaybackEngine, dropsLatePicturesOnlyWhenTheyPileUp)
{
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


// Through a sound server, as on a desktop, where the sink takes samples only while it plays: a
// clip whose sound cannot be opened plays silently, seeks and ends; one whose pictures come 3 s
// after its sound starts at once; a pause corks the stream and leaving the clip removes it.
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
    struct Row {
        const char* name;
        QString path;
        bool sound;
    };
    const Row rows[] = {{"sound that cannot be opened", oddSound, false}, {"pictures 3 s after the sound", lateVideo, true}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        VideoSurfaceWidget surface;
        surface.resize(160, 160);
        VideoPlayer player;
        surface.setPlayer(&player);
        player.setSource(QUrl::fromLocalFile(row.path));
        ASSERT_EVENTUALLY(player.mediaStatus() == QMediaPlayer::LoadedMedia);
        EXPECT_EQ(player.hasAudio(), row.sound);
        player.play();
        // Time goes on whether a picture came yet or not.
        ASSERT_EVENTUALLY(player.position() > 1200);
        ASSERT_TRUE(app::test::waitFor([&] { return player.mediaStatus() == QMediaPlayer::EndOfMedia; }, 15000));
        EXPECT_TRUE(surface.hasFrame());
        EXPECT_EQ(player.errorString(), QString());
        // Back to the start after the end, as the controls do.
        const quint64 before = player.frameNumber();
        player.stop();
        player.setPosition(0);
        ASSERT_EVENTUALLY(player.frameNumber() > before);
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
}
