#include "app/views/video/VideoFrameScaler.h"
#include "app/views/video/VideoSurfaceWidget.h"

#include "support/app/Eventually.h"
#include "support/app/ImageCompare.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
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
