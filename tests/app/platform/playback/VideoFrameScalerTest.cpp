#include "app/platform/decoding/PaddedImage.h"
#include "app/platform/playback/HdrToneMapper.h"
#include "app/platform/playback/VideoFrameScaler.h"
#include "app/platform/playback/VideoPlayer.h"
#include "app/views/video/VideoSurfaceWidget.h"

#include "support/app/Eventually.h"
#include "support/app/ImageCompare.h"
#include "support/app/MediaClips.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <QUrl>

extern "C" {
#include <libavutil/frame.h>
}

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

using namespace app;
using app::test::ffmpeg;

namespace {

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

// Pictures are written again into images the window has let go of: every one, new or reused, keeps
// the padded rows swscale's writers need, and one still held is never written over.
TEST(VideoFrameScaler, reusesOnlyPicturesLetGoAndKeepsTheirPadding)
{
    VideoFrameScaler scaler;
    const QSize size(150, 100); // rows of 600 bytes, padded to 640
    std::vector<QImage> held, copies;
    for (int i = 0; i < 16; ++i) {
        SCOPED_TRACE(i);
        const FramePtr frame = barsFrame(size, AV_PIX_FMT_YUV420P, AVCOL_SPC_BT709, false);
        ASSERT_TRUE(frame);
        for (int y = 0; y < size.height(); ++y)
            std::memset(frame->data[0] + y * frame->linesize[0], 16 + 13 * i, size_t(size.width()));
        const QImage image = scaler.convert(*frame, {});
        ASSERT_FALSE(image.isNull());
        EXPECT_EQ(image.bytesPerLine(), PaddedImage::stride(size.width()));
        // Every third is held, as the window holds the one it paints; the rest are let go.
        if (i % 3 == 0) {
            held.push_back(image);
            copies.push_back(image.copy());
        }
    }
    for (size_t k = 0; k < held.size(); ++k)
        EXPECT_TRUE(held[k] == copies[k]) << "held picture " << k << " was written over";
}
