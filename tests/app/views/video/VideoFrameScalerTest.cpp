#include "app/views/video/VideoFrameScaler.h"
#include "app/views/video/VideoSurfaceWidget.h"

#include "support/app/Eventually.h"
#include "support/app/ImageCompare.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QMediaPlayer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QUrl>
#include <QVideoFrame>
#include <QVideoSink>
#include <QVideoFrameFormat>

#include <algorithm>
#include <cmath>

using namespace app;

namespace {

using Pixel = QVideoFrameFormat::PixelFormat;

// A frame with colour bars over a vertical gradient, written straight into its planes; `full`
// marks full-range values.
void bars(QSize size, int x, int y, int& Y, int& U, int& V)
{
    const int bar = x * 6 / size.width();
    Y = 16 + (219 * y) / size.height();
    U = 128 + (bar - 3) * 30;
    V = 128 + ((bar * 5) % 6 - 3) * 30;
}

QVideoFrame barsFrame(QSize size, Pixel pixel, QVideoFrameFormat::ColorSpace space, bool full)
{
    QVideoFrameFormat format(size, pixel);
    format.setColorSpace(space);
    format.setColorRange(full ? QVideoFrameFormat::ColorRange_Full : QVideoFrameFormat::ColorRange_Video);
    QVideoFrame frame(format);
    if (!frame.map(QVideoFrame::WriteOnly))
        return {};
    int Y, U, V;
    for (int y = 0; y < size.height(); ++y) {
        for (int x = 0; x < size.width(); ++x) {
            bars(size, x, y, Y, U, V);
            if (pixel == Pixel::Format_BGRA8888) {
                uchar* p = frame.bits(0) + y * frame.bytesPerLine(0) + x * 4;
                p[0] = uchar(U);
                p[1] = uchar(Y);
                p[2] = uchar(V);
                p[3] = 255;
                continue;
            }
            frame.bits(0)[y * frame.bytesPerLine(0) + x] = uchar(Y);
            if (x % 2 || y % 2)
                continue;
            if (pixel == Pixel::Format_NV12) {
                uchar* p = frame.bits(1) + (y / 2) * frame.bytesPerLine(1) + x;
                p[0] = uchar(U);
                p[1] = uchar(V);
            } else {
                const int u = pixel == Pixel::Format_YV12 ? 2 : 1;
                frame.bits(u)[(y / 2) * frame.bytesPerLine(u) + x / 2] = uchar(U);
                frame.bits(3 - u)[(y / 2) * frame.bytesPerLine(3 - u) + x / 2] = uchar(V);
            }
        }
    }
    frame.unmap();
    return frame;
}

// The same bars worked out by the textbook formulas, packed RGB taken as it stands.
QImage expectedBars(QSize size, Pixel pixel, double kr, double kb, bool full)
{
    QImage image(size, QImage::Format_RGB32);
    int Y, U, V;
    for (int y = 0; y < size.height(); ++y) {
        for (int x = 0; x < size.width(); ++x) {
            bars(size, x, y, Y, U, V);
            if (pixel == Pixel::Format_BGRA8888) {
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

} // namespace

// One pass gives the picture the formulas give, scaled to fit the box, for each layout, matrix and
// range a decoder hands over; an undeclared matrix is BT.709 in HD and BT.601 below.
TEST(VideoFrameScaler, convertsWithTheFramesMatrixAndRangeScaledToTheBox)
{
    using CS = QVideoFrameFormat::ColorSpace;
    struct Row {
        const char* name;
        QSize size;
        Pixel pixel;
        CS space;
        bool full;
        QSize box;
        QSize expected;
        double kr, kb;
    };
    const double bt601[] = {0.299, 0.114}, bt709[] = {0.2126, 0.0722};
    const Row rows[] = {
        {"4:2:0 planes, HD, undeclared, shrunk", {1280, 720}, Pixel::Format_YUV420P, CS::ColorSpace_Undefined, false,
         {640, 640}, {640, 360}, bt709[0], bt709[1]},
        {"4:2:0 planes, SD, undeclared, kept", {320, 240}, Pixel::Format_YUV420P, CS::ColorSpace_Undefined, false,
         {640, 480}, {320, 240}, bt601[0], bt601[1]},
        {"swapped planes, BT.601", {320, 240}, Pixel::Format_YV12, CS::ColorSpace_BT601, false, {}, {320, 240},
         bt601[0], bt601[1]},
        {"interleaved chroma, BT.709, full range", {640, 480}, Pixel::Format_NV12, CS::ColorSpace_BT709, true,
         {320, 320}, {320, 240}, bt709[0], bt709[1]},
        {"BT.2020, shrunk by height", {640, 480}, Pixel::Format_NV12, CS::ColorSpace_BT2020, false, {1000, 120},
         {160, 120}, 0.2627, 0.0593},
        {"packed BGRA", {320, 240}, Pixel::Format_BGRA8888, CS::ColorSpace_Undefined, false, {160, 160}, {160, 120},
         0, 0},
    };
    VideoFrameScaler scaler;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const QVideoFrame frame = barsFrame(row.size, row.pixel, row.space, row.full);
        ASSERT_TRUE(frame.isValid());
        const QImage image = scaler.convert(frame, row.box);
        ASSERT_EQ(image.size(), row.expected);
        const QImage reference = expectedBars(row.size, row.pixel, row.kr, row.kb, row.full)
                                     .scaled(row.expected, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        EXPECT_LT(app::test::meanDifference(image, reference), 2.5);
    }
    EXPECT_TRUE(scaler.convert(QVideoFrame(), {100, 100}).isNull());
}

// Back at the start after the end, the surface shows the first frame even when a later frame was
// still being converted; frames handed over after that show again.
TEST(VideoSurfaceWidget, firstFrameAtTheEndIsNotReplacedByAFrameStillInFlight)
{
    const auto plain = [](QColor colour) {
        QVideoFrame frame(QVideoFrameFormat(QSize(64, 48), Pixel::Format_BGRA8888));
        EXPECT_TRUE(frame.map(QVideoFrame::WriteOnly));
        for (int y = 0; y < 48; ++y)
            for (int x = 0; x < 64; ++x)
                reinterpret_cast<QRgb*>(frame.bits(0) + y * frame.bytesPerLine(0))[x] = colour.rgba();
        frame.unmap();
        return frame;
    };
    VideoSurfaceWidget surface;
    surface.resize(64, 48);
    surface.show();
    const auto shownColour = [&] { return QColor(surface.currentImage().pixel(10, 10)); };
    surface.videoSink()->setVideoFrame(plain(Qt::red));
    ASSERT_EVENTUALLY(surface.hasFrame());
    surface.videoSink()->setVideoFrame(plain(Qt::blue));
    surface.showFirstFrame();
    ASSERT_EVENTUALLY(surface.converter()->converted() == 2);
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(shownColour(), QColor(Qt::red));
    surface.videoSink()->setVideoFrame(plain(Qt::green));
    ASSERT_EVENTUALLY(shownColour() == QColor(Qt::green));
}

// A 10-bit BT.2020 clip in HLG or PQ shows the SDR colours ffmpeg's own tone mapping gives it
// (zscale to light, BT.709 primaries, Hable's curve), each channel within 8 on average; the
// signal shown as it stands is washed out (its green is off by 24 for HLG).
TEST(VideoFrameScaler, hdrClipsShowTheColoursOfFfmpegsToneMapping)
{
    struct Row {
        const char* name;
        const char* transfer;
    };
    const Row rows[] = {{"HLG", "arib-std-b67"}, {"PQ", "smpte2084"}};
    QTemporaryDir dir;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const QString clip = dir.filePath(QString(row.name) + ".mp4"), reference = dir.filePath(QString(row.name) + ".png");
        ASSERT_TRUE(ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=320x180:rate=10", "-frames:v", "1", "-pix_fmt",
                            "yuv420p10le", "-c:v", "libx265", "-preset", "ultrafast", "-x265-params",
                            QString("log-level=error:colorprim=bt2020:colormatrix=bt2020nc:transfer=") + row.transfer,
                            "-color_primaries", "bt2020", "-color_trc", row.transfer, "-colorspace", "bt2020nc", clip}));
        ASSERT_TRUE(ffmpeg({"-i", clip, "-vf",
                            "zscale=t=linear:npl=100,format=gbrpf32le,zscale=p=bt709,tonemap=tonemap=hable:desat=0,"
                            "zscale=t=bt709,format=gbrp",
                            "-frames:v", "1", reference}));
        VideoSurfaceWidget surface;
        surface.resize(320, 180);
        surface.show();
        QMediaPlayer player;
        player.setVideoOutput(surface.videoSink());
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
}

// Palette clips (8-bit paletted AVI, paletted PNG frames in MOV) play or end in an error under each
// media backend there is; frames whose planes do not match their format never crash the program.
TEST(VideoSurfaceWidget, paletteClipsPlayOrFailCleanlyUnderEveryMediaBackend)
{
    QTemporaryDir dir;
    const QString avi = dir.filePath("pal8.avi"), mov = dir.filePath("png-pal8.mov");
    ASSERT_TRUE(ffmpeg({"-f", "lavfi", "-i", "testsrc=size=160x120:rate=10:duration=1", "-c:v", "rawvideo",
                        "-pix_fmt", "pal8", avi}));
    ASSERT_TRUE(ffmpeg({"-f", "lavfi", "-i", "testsrc=size=160x120:rate=10:duration=1", "-c:v", "png", "-pix_fmt",
                        "pal8", mov}));
    const QString plugins = QLibraryInfo::path(QLibraryInfo::PluginsPath) + "/multimedia/";
    int backends = 0;
    for (const char* backend : {"gstreamer", "ffmpeg"}) {
        if (!QFileInfo::exists(plugins + "lib" + backend + "mediaplugin.so"))
            continue;
        ++backends;
        for (const QString& clip : {avi, mov}) {
            SCOPED_TRACE(backend + (" " + clip.toStdString()));
            QProcess probe;
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert("QT_MEDIA_BACKEND", backend);
            probe.setProcessEnvironment(environment);
            probe.start(TESS_VIDEO_PROBE, {clip, "5"});
            ASSERT_TRUE(probe.waitForFinished(60000));
            const QString out = probe.readAllStandardOutput();
            EXPECT_EQ(probe.exitStatus(), QProcess::NormalExit) << probe.readAllStandardError().toStdString();
            EXPECT_EQ(probe.exitCode(), 0);
            EXPECT_TRUE(out.contains("error ") || (out.startsWith("frames ") && !out.startsWith("frames 0\n")))
                << out.toStdString();
        }
    }
    EXPECT_GT(backends, 0);
}
