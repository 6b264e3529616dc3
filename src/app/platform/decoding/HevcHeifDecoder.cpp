#include "app/platform/decoding/HevcHeifDecoder.h"

#include "app/platform/decoding/DecodeWorkers.h"
#include "app/platform/decoding/FfmpegPointers.h"
#include "app/platform/decoding/ImageDecoder.h"
#include "app/platform/decoding/PixelBudget.h"
#include "app/platform/metadata/HevcParameterSets.h"

#include <QTransform>

extern "C" {
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace app::HevcHeifDecoder {
namespace {

using Image = HeifBoxReader::Image;
using Picture = HeifBoxReader::CodedPicture;

// Enough to keep every core of a phone-sized grid busy without a thread per tile.
constexpr int kMaxThreads = 8;
// Below this a picture decodes faster on one thread than threads start.
constexpr std::uint64_t kThreadedPixels = 1'000'000;
// A decoder kept for the next picture holds buffers of its last one's size; past this it is closed
// when its picture is done, so nothing that large stays resident.
constexpr std::uint64_t kResidentPixels = 16ull * 1024 * 1024;

using ffmpeg::Frame;

// An HEVC decoder for pictures of one configuration record; the tiles of a grid share one, so a
// worker opens it once and feeds it tile after tile.
class PictureDecoder {
public:
    bool open(const std::string& config, int threads)
    {
        if (context_ && config == config_ && threads == threads_)
            return true;
        config_ = config;
        threads_ = threads;
        const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_HEVC);
        context_.reset(codec ? avcodec_alloc_context3(codec) : nullptr);
        if (!context_)
            return false;
        context_->extradata = static_cast<std::uint8_t*>(av_mallocz(config.size() + AV_INPUT_BUFFER_PADDING_SIZE));
        if (!context_->extradata)
            return false;
        std::memcpy(context_->extradata, config.data(), config.size());
        context_->extradata_size = int(config.size());
        context_->thread_count = threads;
        context_->thread_type = FF_THREAD_SLICE; // one picture: only its wavefronts can run side by side
        if (avcodec_open2(context_.get(), codec, nullptr) < 0) {
            context_.reset();
            return false;
        }
        return true;
    }

    // One coded picture, its NAL units as one packet.
    Frame decode(const std::string& data)
    {
        ffmpeg::Packet packet(av_packet_alloc());
        Frame frame(av_frame_alloc());
        if (!context_ || !packet || !frame || av_new_packet(packet.get(), int(data.size())) < 0)
            return nullptr;
        std::memcpy(packet->data, data.data(), data.size());
        if (avcodec_send_packet(context_.get(), packet.get()) < 0)
            return nullptr;
        int got = avcodec_receive_frame(context_.get(), frame.get());
        if (got == AVERROR(EAGAIN)) {
            // Held back: drain it, and start the decoder afresh for the next picture.
            got = avcodec_send_packet(context_.get(), nullptr) < 0 ? -1 : avcodec_receive_frame(context_.get(), frame.get());
            avcodec_flush_buffers(context_.get());
        }
        if (got < 0) {
            context_.reset(); // whatever state it was left in, the next picture opens afresh
            return nullptr;
        }
        return frame;
    }

    void close() { context_.reset(); }

private:
    std::string config_;
    int threads_ = 0;
    ffmpeg::Codec context_;
};

// A picture's bytes, when every parameter set among them codes the size its configuration does.
std::optional<std::string> checkedData(const ByteSource& source, const HeifBoxReader::Images& images,
                                       const Picture& picture)
{
    std::optional<std::string> data = HeifBoxReader::pictureData(source, images, picture);
    if (!data || !picture.config)
        return std::nullopt;
    hevc::PictureSize own;
    switch (hevc::streamSize(*data, hevc::nalLengthSize(*picture.config), own)) {
    case hevc::Found::none: return data;
    case hevc::Found::malformed: return std::nullopt;
    case hevc::Found::size:
        if (own.width == picture.width && own.height == picture.height
            && hevc::matches(own, own.width, own.height, false))
            return data;
        return std::nullopt;
    }
    return std::nullopt;
}

// Decodes one picture with a decoder of this thread, closing it after a picture too large to keep.
Frame decodeOn(PictureDecoder& decoder, const ByteSource& source, const HeifBoxReader::Images& images,
               const Picture& picture, int threads)
{
    const std::optional<std::string> data = checkedData(source, images, picture);
    Frame frame = data && decoder.open(*picture.config, threads) ? decoder.decode(*data) : nullptr;
    if (std::uint64_t(picture.width) * picture.height > kResidentPixels)
        decoder.close();
    // The decoder outputs the size its parameter set codes, which was checked against the file's.
    if (frame && (std::uint32_t(frame->width) != picture.width || std::uint32_t(frame->height) != picture.height))
        return nullptr;
    return frame;
}

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

// Converts the rows [top, top + height) of the left `width` columns of a decoded frame into
// `target` at (x, y + top).
bool convert(const AVFrame& frame, const Image& image, QImage& target, int x, int y, int width, int top, int height)
{
    AVPixelFormat format = AVPixelFormat(frame.format);
    bool fullRange = frame.color_range == AVCOL_RANGE_JPEG;
    // The old full-range names: the same layout with the range said aside.
    switch (format) {
    case AV_PIX_FMT_YUVJ420P: format = AV_PIX_FMT_YUV420P, fullRange = true; break;
    case AV_PIX_FMT_YUVJ422P: format = AV_PIX_FMT_YUV422P, fullRange = true; break;
    case AV_PIX_FMT_YUVJ444P: format = AV_PIX_FMT_YUV444P, fullRange = true; break;
    default: break;
    }
    const AVPixFmtDescriptor* layout = av_pix_fmt_desc_get(format);
    int matrix = swsMatrix(frame.colorspace == AVCOL_SPC_UNSPECIFIED ? 2 : int(frame.colorspace));
    // The file's colour box wins over what the bitstream says.
    if (image.declaresColour) {
        matrix = swsMatrix(image.matrix);
        fullRange = image.fullRange;
    }
    if (matrix < 0 || !layout || (top & ((1 << layout->log2_chroma_h) - 1)) != 0)
        return false;
    ffmpeg::Scaler scaler(sws_getContext(width, height, format, width, height, AV_PIX_FMT_BGRA,
                                         SWS_POINT | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr, nullptr, nullptr));
    if (!scaler)
        return false;
    const int* coefficients = sws_getCoefficients(matrix);
    sws_setColorspaceDetails(scaler.get(), coefficients, fullRange ? 1 : 0, coefficients, 1, 0, 1 << 16, 1 << 16);
    const std::uint8_t* source[4] = {};
    for (int plane = 0; plane < 4 && frame.data[plane]; ++plane) {
        const int rows = plane == 0 || plane == 3 ? top : top >> layout->log2_chroma_h;
        source[plane] = frame.data[plane] + qsizetype(rows) * frame.linesize[plane];
    }
    std::uint8_t* destination[4] = {target.bits() + qsizetype(y + top) * target.bytesPerLine() + qsizetype(x) * 4};
    const int destinationStride[4] = {int(target.bytesPerLine())};
    return sws_scale(scaler.get(), source, frame.linesize, 0, height, destination, destinationStride) == height;
}

} // namespace

QImage decode(const ByteSource& source, const HeifBoxReader::Images& images, const Image& image)
{
    if (image.tiles.empty() || image.columns <= 0)
        return {};
    const int tileWidth = int(image.tiles.front().width);
    const int tileHeight = int(image.tiles.front().height);
    const size_t count = image.tiles.size();
    const int threads = DecodeWorkers::usableCores(kMaxThreads);
    const std::uint64_t tilePixels = std::uint64_t(tileWidth) * std::uint64_t(tileHeight);
    const std::uint64_t inFlight = count > 1 ? tilePixels * std::uint64_t(std::min<size_t>(count, size_t(threads))) : tilePixels;
    // Held until the picture is converted: the canvas and the frames decoding into it.
    const PixelBudget::Lease lease(std::uint64_t(image.width) * image.height + inFlight);
    QImage canvas(int(image.width), int(image.height), QImage::Format_RGB32);
    if (canvas.isNull())
        return {};
    const auto clippedWidth = [&](int x) { return std::min(tileWidth, canvas.width() - x); };
    const auto clippedHeight = [&](int y) { return std::min(tileHeight, canvas.height() - y); };
    if (count > 1) {
        // A grid: each tile decodes on one thread and converts straight into its place; each thread
        // keeps its decoder for the next tile and the next grid, whose configuration is usually the same.
        const bool ok = DecodeWorkers::run(count, threads, [&](size_t i) {
            thread_local PictureDecoder decoder;
            const Picture& tile = image.tiles[i];
            const int x = int(i % size_t(image.columns)) * tileWidth;
            const int y = int(i / size_t(image.columns)) * tileHeight;
            const Frame frame = decodeOn(decoder, source, images, tile, 1);
            return frame && convert(*frame, image, canvas, x, y, clippedWidth(x), 0, clippedHeight(y));
        });
        return ok ? canvas : QImage();
    }
    // A lone picture: its wavefronts decode side by side, then bands of rows convert side by side.
    const bool large = tilePixels >= kThreadedPixels;
    // A thumbnail's decoder stays with its thread for the next thumbnail: opening one costs about a
    // tenth of decoding the picture, and a threaded one starts its threads when it opens.
    thread_local PictureDecoder small;
    thread_local PictureDecoder big;
    PictureDecoder& decoder = large ? big : small;
    const Frame frame = decodeOn(decoder, source, images, image.tiles.front(), large ? threads : 1);
    const int width = clippedWidth(0);
    const int height = clippedHeight(0);
    if (!frame)
        return {};
    constexpr int kBandRows = 256; // a multiple of any chroma subsampling
    const size_t bands = large ? size_t((height + kBandRows - 1) / kBandRows) : 1;
    const int rows = large ? kBandRows : height;
    const bool ok = DecodeWorkers::run(bands, threads, [&](size_t band) {
        const int top = int(band) * rows;
        return convert(*frame, image, canvas, 0, 0, width, top, std::min(rows, height - top));
    });
    return ok ? canvas : QImage();
}

QImage shown(const QImage& decoded, const Image& image, int maxPixelSize)
{
    using Kind = HeifBoxReader::Transform::Kind;
    const bool crops = std::any_of(image.transforms.begin(), image.transforms.end(),
                                   [](const auto& t) { return t.kind == Kind::crop; });
    // Turns and mirrors keep the longer side, so the cheaper order scales first.
    QImage out = crops ? decoded : ImageScaling::fitted(decoded, maxPixelSize);
    for (const HeifBoxReader::Transform& t : image.transforms) {
        switch (t.kind) {
        case Kind::crop: {
            // Scaling first was skipped: the crop is in full-size pixels.
            out = out.copy(int(t.left), int(t.top), int(t.width), int(t.height));
            break;
        }
        case Kind::rotate:
            if (t.quarterTurns % 4)
                out = out.transformed(QTransform().rotate(-90.0 * t.quarterTurns));
            break;
        case Kind::mirror:
            out = out.mirrored(t.leftRight, !t.leftRight);
            break;
        }
    }
    return crops ? ImageScaling::fitted(out, maxPixelSize) : out;
}

} // namespace app::HevcHeifDecoder
