#include "app/platform/metadata/MediaLimits.h"

#include "app/platform/metadata/HeaderReadCost.h"
#include "app/platform/metadata/HevcParameterSets.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/display.h>
#include <libavutil/mem.h>
}

#include <algorithm>
#include <cmath>
#include <string_view>

namespace app {

namespace {

// The most a decoder rounds a picture up by.
constexpr int kCodingBlock = 64;
// Probing a picture or sound stream costs its parser and decoder, about a mebibyte whatever the
// stream holds; a camera writes a handful of them.
constexpr unsigned kMaximumProbedStreams = 16;

QSize videoParametersSize(const AVCodecParameters* par)
{
    return par->width > 0 && par->height > 0 ? QSize(par->width, par->height) : QSize();
}

bool startsWithStartCode(std::string_view data)
{
    return data.size() >= 4 && data[0] == 0 && data[1] == 0 && (data[2] == 1 || (data[2] == 0 && data[3] == 1));
}

// What the parameter sets of an H.264 or HEVC stream code; `none` for other streams and streams
// that carry none yet.
hevc::Found parameterSets(const AVStream* stream, hevc::PictureSize& sets)
{
    const AVCodecParameters* par = stream->codecpar;
    const bool h264 = par->codec_id == AV_CODEC_ID_H264;
    if ((!h264 && par->codec_id != AV_CODEC_ID_HEVC) || !par->extradata || par->extradata_size <= 0)
        return hevc::Found::none;
    const std::string_view extra(reinterpret_cast<const char*>(par->extradata), size_t(par->extradata_size));
    const hevc::Found found = startsWithStartCode(extra) ? hevc::annexBSize(extra, h264, sets)
        : h264                           ? hevc::avcConfigSize(extra, sets)
                                         : hevc::configSize(extra, sets);
    if (found == hevc::Found::size && (sets.codedWidth > std::uint32_t(INT32_MAX) || sets.codedHeight > std::uint32_t(INT32_MAX)))
        return hevc::Found::malformed;
    return found;
}

// The coded size into `size`: from the parameter sets (`size` found), else from the parameters
// (`none`, `size` left empty when they say nothing); `malformed` when the sets cannot be read.
hevc::Found codedSize(const AVStream* stream, QSize& size)
{
    hevc::PictureSize sets;
    const hevc::Found found = parameterSets(stream, sets);
    size = found == hevc::Found::size ? QSize(int(sets.codedWidth), int(sets.codedHeight))
                                      : videoParametersSize(stream->codecpar);
    return found;
}

} // namespace

QSize codedVideoSize(const AVStream* stream)
{
    QSize size;
    return codedSize(stream, size) == hevc::Found::malformed ? QSize() : size;
}

int findBoundedStreamInfo(AVFormatContext* format)
{
    unsigned probed = 0;
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        const AVStream* stream = format->streams[i];
        const AVMediaType type = stream->codecpar->codec_type;
        if ((type == AVMEDIA_TYPE_VIDEO || type == AVMEDIA_TYPE_AUDIO) && ++probed > kMaximumProbedStreams)
            return AVERROR(ENOMEM);
        if (type != AVMEDIA_TYPE_VIDEO)
            continue;
        // A size not known yet is for the decoders below to bound.
        QSize coded;
        if (codedSize(stream, coded) == hevc::Found::malformed
            || (coded.isValid() && !mediaLimits::pictureWithin(coded)))
            return AVERROR(ENOMEM); // more than the file may make us allocate
    }
    AVDictionary** options = static_cast<AVDictionary**>(av_calloc(format->nb_streams, sizeof(AVDictionary*)));
    if (!options && format->nb_streams)
        return AVERROR(ENOMEM);
    // Without their crop, the decoders' limit holds for what they allocate.
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        av_dict_set_int(&options[i], "max_pixels", std::int64_t(mediaLimits::maximumPixels), 0);
        av_dict_set(&options[i], "flags2", "+ignorecrop", 0);
    }
    const unsigned streams = format->nb_streams;
    const int found = avformat_find_stream_info(format, options);
    for (unsigned i = 0; i < streams; ++i)
        av_dict_free(&options[i]);
    av_free(options);
    // The size shown is the cropped one, which the parameter sets found by now tell.
    for (unsigned i = 0; found >= 0 && i < format->nb_streams; ++i) {
        hevc::PictureSize sets;
        if (format->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO
            && parameterSets(format->streams[i], sets) == hevc::Found::size) {
            format->streams[i]->codecpar->width = int(sets.width);
            format->streams[i]->codecpar->height = int(sets.height);
        }
    }
    return found;
}

std::optional<QSize> packetCodedSize(const AVStream* stream, const AVPacket* packet)
{
    const AVCodecParameters* par = stream->codecpar;
    const bool h264 = par->codec_id == AV_CODEC_ID_H264;
    if ((!h264 && par->codec_id != AV_CODEC_ID_HEVC) || !packet->data || packet->size <= 0)
        return QSize();
    const std::string_view data(reinterpret_cast<const char*>(packet->data), size_t(packet->size));
    const std::string_view extra(reinterpret_cast<const char*>(par->extradata),
                                 par->extradata ? size_t(std::max(par->extradata_size, 0)) : 0);
    hevc::PictureSize sets;
    hevc::Found found = hevc::Found::none;
    // A configuration record says the units have length fields (a first one may look like a
    // start code); without one they have start codes.
    if (!extra.empty() && !startsWithStartCode(extra)) {
        const int lengthSize = h264 ? (extra.size() > 4 ? (std::uint8_t(extra[4]) & 3) + 1 : 4) : hevc::nalLengthSize(extra);
        found = hevc::streamSize(data, lengthSize, sets, h264);
    } else {
        found = hevc::annexBSize(data, h264, sets);
    }
    switch (found) {
    case hevc::Found::none: return QSize();
    case hevc::Found::malformed: return std::nullopt;
    case hevc::Found::size: break;
    }
    if (sets.codedWidth > mediaLimits::maximumSide || sets.codedHeight > mediaLimits::maximumSide)
        return QSize(int(mediaLimits::maximumSide) + 1, int(mediaLimits::maximumSide) + 1);
    return QSize(int(sets.codedWidth), int(sets.codedHeight));
}

bool packetCodesWithin(const AVStream* stream, const AVPacket* packet, QSize coded)
{
    const std::optional<QSize> size = packetCodedSize(stream, packet);
    return size && (!size->isValid() || (size->width() <= coded.width() && size->height() <= coded.height()));
}

void boundPictureBuffers(AVCodecContext* codec, const QSize* coded)
{
    codec->opaque = const_cast<QSize*>(coded);
    codec->get_buffer2 = [](AVCodecContext* c, AVFrame* frame, int flags) {
        const QSize* bound = static_cast<const QSize*>(c->opaque);
        if (frame->width > bound->width() + kCodingBlock || frame->height > bound->height() + kCodingBlock)
            return AVERROR(ENOMEM);
        return avcodec_default_get_buffer2(c, frame, flags);
    };
#if LIBAVCODEC_VERSION_MAJOR < 60
    // It is: without saying so, frame threads would wait on each other for their pictures.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    codec->thread_safe_callbacks = 1;
#pragma GCC diagnostic pop
#endif
}

int clockwiseQuarterTurns(const AVStream* stream)
{
    size_t size = 0;
    const uint8_t* matrix = av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
    if (!matrix || size < 9 * sizeof(int32_t))
        return 0;
    // FFmpeg reports the angle counter-clockwise.
    const double clockwise = -av_display_rotation_get(reinterpret_cast<const int32_t*>(matrix));
    if (!std::isfinite(clockwise))
        return 0;
    const long quarters = std::lround(clockwise / 90.0);
    if (std::fabs(clockwise - 90.0 * double(quarters)) > 1.0)
        return 0;
    const int turned = int(quarters % 4) * 90;
    return turned < 0 ? turned + 360 : turned;
}

bool headerReadWithinBound(const ByteSource& file)
{
    constexpr std::uint64_t bound = mediaLimits::maximumHeaderBytes;
    return headerReadCost::isoMedia(file, bound) <= bound && headerReadCost::matroska(file, bound) <= bound;
}

} // namespace app
