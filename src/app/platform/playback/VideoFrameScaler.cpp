#include "app/platform/playback/VideoFrameScaler.h"

#include "app/platform/decoding/PaddedImage.h"
#include "app/platform/playback/HdrToneMapper.h"

#include <QLoggingCategory>

extern "C" {
#include <libavutil/cpu.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

Q_LOGGING_CATEGORY(lcVideoFrames, "tessivarnholm.video")

namespace app {

namespace {

std::optional<HdrToneMapper::Signal> hdrSignal(const AVFrame& frame)
{
    switch (frame.color_trc) {
    case AVCOL_TRC_ARIB_STD_B67: return HdrToneMapper::Signal::hlg;
    case AVCOL_TRC_SMPTE2084: return HdrToneMapper::Signal::pq;
    default: return std::nullopt;
    }
}

// An undeclared colour space is BT.709 above standard definition and BT.601 up to it, as players
// guess it.
int swsMatrix(const AVFrame& frame)
{
    switch (frame.colorspace) {
    case AVCOL_SPC_BT709: return SWS_CS_ITU709;
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL: return SWS_CS_BT2020;
    case AVCOL_SPC_FCC: return SWS_CS_FCC;
    case AVCOL_SPC_SMPTE240M: return SWS_CS_SMPTE240M;
    case AVCOL_SPC_BT470BG:
    case AVCOL_SPC_SMPTE170M: return SWS_CS_ITU601;
    default: return frame.height > 576 ? SWS_CS_ITU709 : SWS_CS_ITU601;
    }
}

bool hasAlpha(int format)
{
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(AVPixelFormat(format));
    return d && (d->flags & AV_PIX_FMT_FLAG_ALPHA);
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

void VideoFrameScaler::FrameFree::operator()(AVFrame* frame) const
{
    av_frame_free(&frame);
}

VideoFrameScaler::VideoFrameScaler() : allocate_(PaddedImage::allocate) {}

VideoFrameScaler::~VideoFrameScaler()
{
    sws_freeContext(context_);
    sws_freeContext(shrink_);
}

int VideoFrameScaler::threadCount()
{
    // Decoding wants cores too; beyond four the slices get too thin to pay.
    return std::clamp(av_cpu_count(), 1, 4);
}

QSize VideoFrameScaler::shownSize(const AVFrame& frame)
{
    // Pixels that are not square (an HDV camera's 1440 wide stand for 1920) are widened or
    // narrowed to their shape; an aspect no camera writes is ignored.
    const AVRational sar = frame.sample_aspect_ratio;
    if (sar.num <= 0 || sar.den <= 0 || av_cmp_q(sar, AVRational{1, 1}) == 0 || av_q2d(sar) > 4 || av_q2d(sar) < 0.25)
        return {frame.width, frame.height};
    const double width = std::clamp(std::round(frame.width * av_q2d(sar)), 1.0, 16384.0);
    return {int(width), frame.height};
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

SwsContext* VideoFrameScaler::makeContext(QSize from, int fromFormat, QSize to, int toFormat, int flags) const
{
    SwsContext* context = sws_alloc_context();
    if (!context)
        return nullptr;
    av_opt_set_int(context, "srcw", from.width(), 0);
    av_opt_set_int(context, "srch", from.height(), 0);
    av_opt_set_int(context, "src_format", fromFormat, 0);
    av_opt_set_int(context, "dstw", to.width(), 0);
    av_opt_set_int(context, "dsth", to.height(), 0);
    av_opt_set_int(context, "dst_format", toFormat, 0);
    av_opt_set_int(context, "sws_flags", flags, 0);
    av_opt_set_int(context, "threads", threads_, 0);
    if (sws_init_context(context, nullptr, nullptr) < 0) {
        sws_freeContext(context);
        return nullptr;
    }
    return context;
}

QImage VideoFrameScaler::convert(const AVFrame& frame, QSize box)
{
    const QSize source(frame.width, frame.height);
    const QSize size = fittedSize(shownSize(frame), box);
    if (size.isEmpty() || !frame.data[0])
        return {};
    const std::optional<HdrToneMapper::Signal> hdr = hdrSignal(frame);
    // Shrunk first, in YUV and by area, then turned into colours at the small size: for a 4K
    // frame shown at 720p that is a third of the work of doing both in one pass.
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(AVPixelFormat(frame.format));
    const bool twoPass = size != source && d && d->nb_components == 3
        && !(d->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_ALPHA));
    const Key key{frame.width, frame.height, frame.format, size.width(), size.height(), swsMatrix(frame), threads_,
                  frame.color_range == AVCOL_RANGE_JPEG, twoPass};
    if (!context_ || !(key == key_)) {
        sws_freeContext(context_);
        sws_freeContext(shrink_);
        shrink_ = nullptr;
        context_ = nullptr;
        const int range = key.fullRange ? 1 : 0;
        const int* coefficients = sws_getCoefficients(key.matrix);
        if (twoPass) {
            shrink_ = makeContext(source, frame.format, size, AV_PIX_FMT_YUV420P, SWS_AREA);
            middle_.reset(av_frame_alloc());
            if (shrink_ && middle_) {
                middle_->format = AV_PIX_FMT_YUV420P;
                middle_->width = size.width();
                middle_->height = size.height();
                if (av_frame_get_buffer(middle_.get(), 64) >= 0)
                    context_ = makeContext(size, AV_PIX_FMT_YUV420P, size, AV_PIX_FMT_BGRA, SWS_BILINEAR);
                // Only the size changes in the first pass: the range stays what it was.
                if (context_)
                    sws_setColorspaceDetails(shrink_, coefficients, range, coefficients, range, 0, 1 << 16, 1 << 16);
            }
        } else {
            context_ = makeContext(source, frame.format, size, AV_PIX_FMT_BGRA, SWS_BILINEAR);
        }
        if (!context_) {
            ++rejectedCount_;
            const std::pair<int, QSize> shape{frame.format, source};
            if (shape != rejected_) {
                rejected_ = shape;
                const char* name = av_get_pix_fmt_name(AVPixelFormat(frame.format));
                qCWarning(lcVideoFrames).nospace() << "video frames dropped: their layout cannot be converted ("
                                                   << (name ? name : "unknown") << ", " << frame.width << "x"
                                                   << frame.height << ")";
            }
            key_ = {};
            return {};
        }
        sws_setColorspaceDetails(context_, coefficients, range, coefficients, 1, 0, 1 << 16, 1 << 16);
        key_ = key;
    }
    const AVFrame* colours = &frame;
    if (twoPass) {
        if (sws_scale_frame(shrink_, middle_.get(), &frame) < 0)
            return {};
        colours = middle_.get();
    }

    // BGRA in memory is Qt's 32-bit ARGB on a little-endian machine.
    QImage image = reusedImage(size, hasAlpha(frame.format) ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    if (image.isNull())
        return {};
    uint8_t* out[4] = {image.bits(), nullptr, nullptr, nullptr};
    const int outStride[4] = {int(image.bytesPerLine()), 0, 0, 0};
    FramePtr dst = wrap(AV_PIX_FMT_BGRA, size.width(), size.height(), out, outStride, size_t(image.sizeInBytes()));
    if (!dst || sws_scale_frame(context_, dst.get(), colours) < 0)
        return {};
    if (hdr) {
        if (!toneMapper_ || toneMapper_->signal() != *hdr)
            toneMapper_ = std::make_unique<HdrToneMapper>(*hdr);
        // The BT.2020 signal as RGB, then to SDR in place, in bands over the scaler's threads.
        const int bands = std::clamp(threads_, 1, size.height());
        std::vector<std::thread> helpers;
        for (int i = 1; i < bands; ++i)
            helpers.emplace_back([this, &image, i, bands, h = size.height()] {
                toneMapper_->map(image, h * i / bands, h * (i + 1) / bands);
            });
        toneMapper_->map(image, 0, size.height() / bands);
        for (std::thread& helper : helpers)
            helper.join();
    }
    kept_[nextKept_++ % kept_.size()] = image;
    return image;
}

QImage VideoFrameScaler::reusedImage(QSize size, QImage::Format format)
{
    for (QImage& kept : kept_) {
        if (kept.isNull() || kept.size() != size || kept.format() != format || !kept.isDetached())
            continue;
        // Whoever let it go last had read it before: its release is seen before it is written again.
        std::atomic_thread_fence(std::memory_order_acquire);
        return std::exchange(kept, QImage());
    }
    return allocate_(size, format);
}

} // namespace app
