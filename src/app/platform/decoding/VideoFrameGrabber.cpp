#include "app/platform/decoding/VideoFrameGrabber.h"

#include "app/platform/decoding/FfmpegPointers.h"
#include "app/platform/decoding/PaddedImage.h"
#include "app/platform/decoding/PixelBudget.h"
#include "app/platform/metadata/MediaLimits.h"
#include "app/platform/metadata/UntrustedMediaInput.h"

#include <QTransform>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/display.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cmath>
#include <memory>

namespace app {

namespace {

using ffmpeg::CodecDeleter;
using ffmpeg::FrameDeleter;
using ffmpeg::PacketDeleter;
using ffmpeg::SwsDeleter;

constexpr int kMaxSide = int(mediaLimits::maximumSide);
// A stream that gives no picture within this many packets has none worth waiting for.
constexpr int kMaxPackets = 2000;
// Whole pictures alive during a grab: the one decoded, one it refers to and the one handed out.
constexpr std::uint64_t kPicturesAlive = 3;

QImage convert(const AVFrame* frame, AVRational sampleAspect, int maxPixelSize)
{
    if (frame->width <= 0 || frame->height <= 0 || frame->width > kMaxSide || frame->height > kMaxSide)
        return {};
    double displayWidth = frame->width;
    if (sampleAspect.num > 0 && sampleAspect.den > 0)
        displayWidth = displayWidth * sampleAspect.num / sampleAspect.den;
    const int shownWidth = int(std::lround(std::clamp(displayWidth, 1.0, double(kMaxSide))));
    const QSize target = ImageScaling::fittedSize(QSize(shownWidth, frame->height), maxPixelSize);
    if (target.isEmpty())
        return {};
    std::unique_ptr<SwsContext, SwsDeleter> sws(sws_getContext(
        frame->width, frame->height, AVPixelFormat(frame->format), target.width(), target.height(),
        AV_PIX_FMT_RGB32, SWS_BILINEAR, nullptr, nullptr, nullptr));
    if (!sws)
        return {};
    QImage image = PaddedImage::allocate(target, QImage::Format_RGB32);
    if (image.isNull())
        return {};
    uint8_t* dst[4] = {image.bits(), nullptr, nullptr, nullptr};
    int dstStride[4] = {int(image.bytesPerLine()), 0, 0, 0};
    if (sws_scale(sws.get(), frame->data, frame->linesize, 0, frame->height, dst, dstStride) <= 0)
        return {};
    return image;
}

} // namespace

QImage VideoFrameGrabber::decode(const MediaItem& item, int maxPixelSize)
{
    return decodeFile(item.url, maxPixelSize);
}

QImage VideoFrameGrabber::decodeFile(const QString& path, int maxPixelSize)
{
    if (maxPixelSize <= 0)
        return {};
    // Read as a header, so that the index its counts declare stays bounded.
    const FormatContextPtr format = openUntrustedMediaFile(path, MediaAccess::headers);
    if (!format || findBoundedStreamInfo(format.get()) < 0)
        return {};

    const AVCodec* decoder = nullptr;
    const int index = av_find_best_stream(format.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
    if (index < 0 || !decoder)
        return {};
    AVStream* stream = format->streams[index];
    const QSize coded = codedVideoSize(stream);
    if (!mediaLimits::pictureWithin(coded))
        return {};
    // Held until the picture is scaled: the decoder's pictures and the one handed out.
    const PixelBudget::Lease lease(std::uint64_t(coded.width()) * std::uint64_t(coded.height()) * kPicturesAlive);

    std::unique_ptr<AVCodecContext, CodecDeleter> codec(avcodec_alloc_context3(decoder));
    if (!codec || avcodec_parameters_to_context(codec.get(), stream->codecpar) < 0)
        return {};
    // Six thumbnails decode at once already.
    codec->thread_count = 1;
    codec->max_pixels = std::int64_t(mediaLimits::maximumPixels);
    boundPictureBuffers(codec.get(), &coded);
    if (avcodec_open2(codec.get(), decoder, nullptr) < 0)
        return {};

    std::unique_ptr<AVFrame, FrameDeleter> frame(av_frame_alloc());
    std::unique_ptr<AVPacket, PacketDeleter> packet(av_packet_alloc());
    if (!frame || !packet)
        return {};

    bool gotFrame = false;
    bool flushed = false;
    for (int packets = 0; !gotFrame && packets < kMaxPackets; ++packets) {
        const int read = av_read_frame(format.get(), packet.get());
        if (read < 0) {
            if (flushed)
                break;
            avcodec_send_packet(codec.get(), nullptr);
            flushed = true;
        } else if (packet->stream_index != index) {
            av_packet_unref(packet.get());
            continue;
        } else if (!packetCodesWithin(stream, packet.get(), coded)) {
            return {}; // its own parameter sets code more than was checked
        } else {
            const int sent = avcodec_send_packet(codec.get(), packet.get());
            av_packet_unref(packet.get());
            if (sent < 0 && sent != AVERROR(EAGAIN))
                continue;
        }
        const int received = avcodec_receive_frame(codec.get(), frame.get());
        if (received == 0)
            gotFrame = true;
        else if (received != AVERROR(EAGAIN) && flushed)
            break;
    }
    if (!gotFrame)
        return {};

    AVRational sar = frame->sample_aspect_ratio;
    if (sar.num <= 0)
        sar = stream->sample_aspect_ratio;
    QImage image = convert(frame.get(), sar, maxPixelSize);
    if (image.isNull())
        return {};
    if (const int cw = clockwiseQuarterTurns(stream); cw != 0)
        image = image.transformed(QTransform().rotate(cw));
    return image;
}

} // namespace app
