#include "app/views/video/VideoFrameScaler.h"

#include "app/views/video/HdrToneMapper.h"

#include <QLoggingCategory>
#include <QVideoFrameFormat>

extern "C" {
#include <libavutil/cpu.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cmath>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

Q_LOGGING_CATEGORY(lcVideoFrames, "tessivarnholm.video")

namespace app {

namespace {

using Pixel = QVideoFrameFormat::PixelFormat;

// swscale's name for a frame layout, or AV_PIX_FMT_NONE when Qt's own conversion must do.
AVPixelFormat avFormat(Pixel format)
{
    switch (format) {
    case Pixel::Format_YUV420P:
    case Pixel::Format_YV12: return AV_PIX_FMT_YUV420P;
    case Pixel::Format_YUV422P: return AV_PIX_FMT_YUV422P;
    case Pixel::Format_YUV420P10: return AV_PIX_FMT_YUV420P10LE;
    case Pixel::Format_NV12: return AV_PIX_FMT_NV12;
    case Pixel::Format_NV21: return AV_PIX_FMT_NV21;
    case Pixel::Format_P010: return AV_PIX_FMT_P010LE;
    case Pixel::Format_P016: return AV_PIX_FMT_P016LE;
    case Pixel::Format_UYVY: return AV_PIX_FMT_UYVY422;
    case Pixel::Format_YUYV: return AV_PIX_FMT_YUYV422;
    // Qt names packed RGB by byte order, as swscale does.
    case Pixel::Format_ARGB8888: return AV_PIX_FMT_ARGB;
    case Pixel::Format_XRGB8888: return AV_PIX_FMT_0RGB;
    case Pixel::Format_BGRA8888: return AV_PIX_FMT_BGRA;
    case Pixel::Format_BGRX8888: return AV_PIX_FMT_BGR0;
    case Pixel::Format_ABGR8888: return AV_PIX_FMT_ABGR;
    case Pixel::Format_XBGR8888: return AV_PIX_FMT_0BGR;
    case Pixel::Format_RGBA8888: return AV_PIX_FMT_RGBA;
    case Pixel::Format_RGBX8888: return AV_PIX_FMT_RGB0;
    default: return AV_PIX_FMT_NONE;
    }
}

bool hasAlpha(Pixel format)
{
    return format == Pixel::Format_ARGB8888 || format == Pixel::Format_BGRA8888 || format == Pixel::Format_ABGR8888
        || format == Pixel::Format_RGBA8888;
}

// Whether the mapped planes hold the picture the format names: some decoders label frames of a
// format they cannot name (a palette, say) as 4:2:0 with planes missing or short, and reading
// those would run past their memory.
bool planesMatch(const QVideoFrame& frame, Pixel pixel)
{
    const QVideoFrameFormat format(frame.size(), pixel);
    if (frame.planeCount() != format.planeCount())
        return false;
    const qsizetype w = frame.width(), h = frame.height(), cw = (w + 1) / 2, ch = (h + 1) / 2;
    for (int i = 0; i < frame.planeCount(); ++i) {
        if (!frame.bits(i) || frame.bytesPerLine(i) <= 0)
            return false;
        qsizetype rowBytes = 0, rows = h;
        switch (pixel) {
        case Pixel::Format_YUV420P:
        case Pixel::Format_YV12: rowBytes = i == 0 ? w : cw, rows = i == 0 ? h : ch; break;
        case Pixel::Format_YUV422P: rowBytes = i == 0 ? w : cw; break;
        case Pixel::Format_YUV420P10: rowBytes = 2 * (i == 0 ? w : cw), rows = i == 0 ? h : ch; break;
        case Pixel::Format_NV12:
        case Pixel::Format_NV21: rowBytes = i == 0 ? w : 2 * cw, rows = i == 0 ? h : ch; break;
        case Pixel::Format_P010:
        case Pixel::Format_P016: rowBytes = i == 0 ? 2 * w : 4 * cw, rows = i == 0 ? h : ch; break;
        case Pixel::Format_UYVY:
        case Pixel::Format_YUYV: rowBytes = 2 * w; break;
        default: rowBytes = avFormat(pixel) == AV_PIX_FMT_NONE ? 0 : 4 * w; break;
        }
        if (frame.bytesPerLine(i) < rowBytes || frame.mappedBytes(i) < frame.bytesPerLine(i) * (rows - 1) + rowBytes)
            return false;
    }
    return true;
}

std::optional<HdrToneMapper::Signal> hdrSignal(const QVideoFrameFormat& format)
{
    switch (format.colorTransfer()) {
    case QVideoFrameFormat::ColorTransfer_STD_B67: return HdrToneMapper::Signal::hlg;
    case QVideoFrameFormat::ColorTransfer_ST2084: return HdrToneMapper::Signal::pq;
    default: return std::nullopt;
    }
}

// The matrix Qt's own conversion takes, so both roads give one picture: an undeclared colour
// space is BT.709 above standard definition and BT.601 up to it.
int swsMatrix(const QVideoFrameFormat& format)
{
    switch (format.colorSpace()) {
    case QVideoFrameFormat::ColorSpace_BT709: return SWS_CS_ITU709;
    case QVideoFrameFormat::ColorSpace_BT2020: return SWS_CS_BT2020;
    case QVideoFrameFormat::ColorSpace_BT601:
    case QVideoFrameFormat::ColorSpace_AdobeRgb: return SWS_CS_ITU601;
    default: return format.frameHeight() > 576 ? SWS_CS_ITU709 : SWS_CS_ITU601;
    }
}

void keepAlive(void*, uint8_t*) {}

struct FrameDeleter {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;

// An AVFrame over memory someone else owns; swscale wants counted buffers, these never free.
FramePtr wrap(AVPixelFormat format, int width, int height, uint8_t* const data[4], const int linesize[4],
              size_t bytes)
{
    FramePtr frame(av_frame_alloc());
    if (!frame)
        return {};
    frame->format = format;
    frame->width = width;
    frame->height = height;
    for (int i = 0; i < 4; ++i) {
        frame->data[i] = data[i];
        frame->linesize[i] = linesize[i];
    }
    frame->buf[0] = av_buffer_create(data[0], bytes, keepAlive, nullptr, 0);
    if (!frame->buf[0])
        return {};
    return frame;
}

} // namespace

VideoFrameScaler::VideoFrameScaler() = default;

VideoFrameScaler::~VideoFrameScaler()
{
    sws_freeContext(context_);
}

int VideoFrameScaler::threadCount()
{
    // Decoding wants cores too; beyond four the slices get too thin to pay.
    return std::clamp(av_cpu_count(), 1, 4);
}

QSize VideoFrameScaler::fittedSize(QSize frame, QSize box)
{
    if (frame.isEmpty())
        return {};
    if (box.isEmpty() || (frame.width() <= box.width() && frame.height() <= box.height()))
        return frame;
    const double scale = std::min(double(box.width()) / frame.width(), double(box.height()) / frame.height());
    return {std::max(1, int(std::lround(frame.width() * scale))), std::max(1, int(std::lround(frame.height() * scale)))};
}

QImage VideoFrameScaler::convertWithQt(const QVideoFrame& frame, QSize size) const
{
    QImage image = frame.toImage();
    if (image.isNull() || image.size() == size)
        return image;
    return image.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

QImage VideoFrameScaler::convert(const QVideoFrame& input, QSize box)
{
    if (!input.isValid())
        return {};
    const QVideoFrameFormat format = input.surfaceFormat();
    const QSize size = fittedSize(input.size(), box);
    if (size.isEmpty())
        return {};
    QVideoFrame frame = input;
    if (!frame.map(QVideoFrame::ReadOnly))
        return {};
    if (!planesMatch(frame, input.pixelFormat())) {
        ++rejectedCount_;
        const std::pair<int, QSize> shape{int(input.pixelFormat()), input.size()};
        if (shape != rejected_) {
            rejected_ = shape;
            QString planeText;
            for (int i = 0; i < frame.planeCount(); ++i)
                planeText += QStringLiteral(" %1/%2").arg(frame.bytesPerLine(i)).arg(frame.mappedBytes(i));
            qCWarning(lcVideoFrames).nospace()
                << "video frames dropped: their planes do not match their format (" << input.pixelFormat() << ", "
                << input.width() << "x" << input.height() << ", planes of bytes per line/bytes:" << planeText << ")";
        }
        frame.unmap();
        return {};
    }
    const AVPixelFormat source = avFormat(input.pixelFormat());
    if (source == AV_PIX_FMT_NONE || format.scanLineDirection() != QVideoFrameFormat::TopToBottom
        || format.isMirrored()) {
        frame.unmap();
        return convertWithQt(input, size);
    }
    uint8_t* planes[4] = {};
    int strides[4] = {};
    for (int i = 0; i < std::min(frame.planeCount(), 4); ++i) {
        planes[i] = frame.bits(i);
        strides[i] = frame.bytesPerLine(i);
    }
    if (input.pixelFormat() == Pixel::Format_YV12) {
        std::swap(planes[1], planes[2]);
        std::swap(strides[1], strides[2]);
    }
    const std::optional<HdrToneMapper::Signal> hdr = hdrSignal(format);
    const Key key{input.width(), input.height(), source, size.width(), size.height(), swsMatrix(format),
                  format.colorRange() == QVideoFrameFormat::ColorRange_Full};
    if (!context_ || !(key == key_)) {
        sws_freeContext(context_);
        context_ = sws_alloc_context();
        if (context_) {
            av_opt_set_int(context_, "srcw", key.srcWidth, 0);
            av_opt_set_int(context_, "srch", key.srcHeight, 0);
            av_opt_set_int(context_, "src_format", source, 0);
            av_opt_set_int(context_, "dstw", key.dstWidth, 0);
            av_opt_set_int(context_, "dsth", key.dstHeight, 0);
            av_opt_set_int(context_, "dst_format", AV_PIX_FMT_BGRA, 0);
            av_opt_set_int(context_, "sws_flags", SWS_BILINEAR, 0);
            av_opt_set_int(context_, "threads", threadCount(), 0);
            if (sws_init_context(context_, nullptr, nullptr) < 0) {
                sws_freeContext(context_);
                context_ = nullptr;
            }
        }
        if (!context_) {
            frame.unmap();
            return convertWithQt(input, size);
        }
        const int* coefficients = sws_getCoefficients(key.matrix);
        sws_setColorspaceDetails(context_, coefficients, key.fullRange ? 1 : 0, coefficients, 1, 0, 1 << 16, 1 << 16);
        key_ = key;
    }

    // BGRA in memory is Qt's 32-bit ARGB on a little-endian machine.
    QImage image(size, hasAlpha(input.pixelFormat()) ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    uint8_t* out[4] = {image.bits(), nullptr, nullptr, nullptr};
    const int outStride[4] = {int(image.bytesPerLine()), 0, 0, 0};
    const size_t outBytes = size_t(image.sizeInBytes());
    FramePtr src = wrap(source, input.width(), input.height(), planes, strides, size_t(frame.mappedBytes(0)));
    FramePtr dst = wrap(AV_PIX_FMT_BGRA, size.width(), size.height(), out, outStride, outBytes);
    const bool ok = src && dst && sws_scale_frame(context_, dst.get(), src.get()) >= 0;
    frame.unmap();
    if (!ok)
        return convertWithQt(input, size);
    if (hdr) {
        if (!toneMapper_ || toneMapper_->signal() != *hdr)
            toneMapper_ = std::make_unique<HdrToneMapper>(*hdr);
        // The BT.2020 signal as RGB, then to SDR in place, in bands over the scaler's threads.
        const int bands = std::min(threadCount(), size.height());
        std::vector<std::thread> helpers;
        for (int i = 1; i < bands; ++i)
            helpers.emplace_back([this, &image, i, bands, h = size.height()] {
                toneMapper_->map(image, h * i / bands, h * (i + 1) / bands);
            });
        toneMapper_->map(image, 0, size.height() / bands);
        for (std::thread& helper : helpers)
            helper.join();
    }
    return image;
}

} // namespace app
