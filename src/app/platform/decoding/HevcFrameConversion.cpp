#include "app/platform/decoding/HevcFrameConversion.h"

#include "app/platform/decoding/DecodeWorkers.h"
#include "app/platform/decoding/FfmpegPointers.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <optional>

namespace app::HevcFrameConversion {
namespace {

using Image = HeifBoxReader::Image;

// The swscale matrix for the H.273 matrix coefficients; -1 for those we leave to libheif.
int swsMatrix(int coefficients)
{
    switch (coefficients) {
    case 1: return SWS_CS_ITU709;
    case 2: // unspecified
    case 5:
    case 6: return SWS_CS_ITU601;
    case 4: return SWS_CS_FCC;
    case 7: return SWS_CS_SMPTE240M;
    case 9: return SWS_CS_BT2020;
    default: return -1;
    }
}

struct Colour {
    AVPixelFormat format = AV_PIX_FMT_NONE;
    int matrix = -1;
    bool fullRange = false;
};

std::optional<Colour> colourOf(const AVFrame& frame, const Image& image)
{
    Colour c;
    c.format = AVPixelFormat(frame.format);
    c.fullRange = frame.color_range == AVCOL_RANGE_JPEG;
    // The old full-range names: the same layout with the range said aside.
    switch (c.format) {
    case AV_PIX_FMT_YUVJ420P: c.format = AV_PIX_FMT_YUV420P, c.fullRange = true; break;
    case AV_PIX_FMT_YUVJ422P: c.format = AV_PIX_FMT_YUV422P, c.fullRange = true; break;
    case AV_PIX_FMT_YUVJ444P: c.format = AV_PIX_FMT_YUV444P, c.fullRange = true; break;
    default: break;
    }
    c.matrix = swsMatrix(frame.colorspace == AVCOL_SPC_UNSPECIFIED ? 2 : int(frame.colorspace));
    // The file's colour box wins over what the bitstream says.
    if (image.declaresColour) {
        c.matrix = swsMatrix(image.matrix);
        c.fullRange = image.fullRange;
    }
    if (c.matrix < 0 || !av_pix_fmt_desc_get(c.format))
        return std::nullopt;
    return c;
}

// A full-size conversion interpolates the chroma to every pixel; a scaled one takes it as the
// scaler filters it, which costs a thumbnail a tenth of its time less and looks the same.
SwsContext* newScaler(int width, int height, const Colour& colour, int toWidth, int toHeight, int flags)
{
    SwsContext* scaler = sws_getContext(width, height, colour.format, toWidth, toHeight, AV_PIX_FMT_BGRA,
                                        flags | SWS_ACCURATE_RND, nullptr, nullptr, nullptr);
    if (scaler) {
        const int* coefficients = sws_getCoefficients(colour.matrix);
        sws_setColorspaceDetails(scaler, coefficients, colour.fullRange ? 1 : 0, coefficients, 1, 0, 1 << 16, 1 << 16);
    }
    return scaler;
}

// This thread's scaler for one size and colour, kept for the next picture: making one computes
// its filters, which for a thumbnail costs as much as the scaling itself.
SwsContext* threadScaler(int width, int height, const Colour& colour, int toWidth, int toHeight)
{
    struct Kind {
        int width, height, format, matrix, toWidth, toHeight;
        bool fullRange;
        bool operator==(const Kind&) const = default;
    };
    thread_local Kind kind{};
    thread_local ffmpeg::Scaler scaler;
    const Kind wanted{width, height, int(colour.format), colour.matrix, toWidth, toHeight, colour.fullRange};
    if (!scaler || !(kind == wanted)) {
        scaler.reset(newScaler(width, height, colour, toWidth, toHeight, SWS_AREA));
        kind = wanted;
    }
    return scaler.get();
}

void keepMemory(void*, std::uint8_t*) {}

} // namespace

bool convert(const AVFrame& frame, const Image& image, QImage& target, int x, int y, int width, int top, int height)
{
    const std::optional<Colour> colour = colourOf(frame, image);
    const AVPixFmtDescriptor* layout = colour ? av_pix_fmt_desc_get(colour->format) : nullptr;
    if (!layout || (top & ((1 << layout->log2_chroma_h) - 1)) != 0)
        return false;
    const ffmpeg::Scaler scaler(newScaler(width, height, *colour, width, height, SWS_POINT | SWS_FULL_CHR_H_INT));
    if (!scaler)
        return false;
    const std::uint8_t* source[4] = {};
    for (int plane = 0; plane < 4 && frame.data[plane]; ++plane) {
        const int rows = plane == 0 || plane == 3 ? top : top >> layout->log2_chroma_h;
        source[plane] = frame.data[plane] + qsizetype(rows) * frame.linesize[plane];
    }
    std::uint8_t* destination[4] = {target.bits() + qsizetype(y + top) * target.bytesPerLine() + qsizetype(x) * 4};
    const int destinationStride[4] = {int(target.bytesPerLine())};
    return sws_scale(scaler.get(), source, frame.linesize, 0, height, destination, destinationStride) == height;
}

bool convertScaled(const AVFrame& frame, const Image& image, int width, int height, QImage& target, int threads)
{
    const std::optional<Colour> colour = colourOf(frame, image);
    ffmpeg::Frame source(av_frame_alloc());
    ffmpeg::Frame destination(av_frame_alloc());
    if (!colour || !source || !destination || av_frame_ref(source.get(), &frame) < 0)
        return false;
    source->format = colour->format;
    source->width = width;
    source->height = height;
    // The scaler takes references to both frames; the target's memory stays the image's.
    destination->buf[0] = av_buffer_create(target.bits(), size_t(target.sizeInBytes()), keepMemory, nullptr, 0);
    if (!destination->buf[0])
        return false;
    destination->data[0] = target.bits();
    destination->linesize[0] = int(target.bytesPerLine());
    destination->format = AV_PIX_FMT_BGRA;
    destination->width = target.width();
    destination->height = target.height();
    SwsContext* first = threadScaler(width, height, *colour, target.width(), target.height());
    if (!first)
        return false;
    // Each band is scaled from the whole picture, so bands meet without seams; two a thread even
    // out their finishing times, and one thread takes the picture whole.
    const int alignment = std::max(1, int(sws_receive_slice_alignment(first)));
    const int wanted = threads > 1 ? (target.height() + 2 * threads - 1) / (2 * threads) : target.height();
    const int rows = std::max(alignment, (wanted + alignment - 1) / alignment * alignment);
    const size_t bands = size_t((target.height() + rows - 1) / rows);
    return DecodeWorkers::run(bands, threads, [&](size_t band) {
        SwsContext* scaler = threadScaler(width, height, *colour, target.width(), target.height());
        const int top = int(band) * rows;
        if (!scaler || sws_frame_start(scaler, destination.get(), source.get()) < 0)
            return false;
        const bool ok = sws_send_slice(scaler, 0, unsigned(height)) >= 0
            && sws_receive_slice(scaler, unsigned(top), unsigned(std::min(rows, target.height() - top))) >= 0;
        sws_frame_end(scaler);
        return ok;
    });
}

} // namespace app::HevcFrameConversion
