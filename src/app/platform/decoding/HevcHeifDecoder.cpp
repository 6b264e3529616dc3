#include "app/platform/decoding/HevcHeifDecoder.h"

#include "app/platform/decoding/DecodeWorkers.h"
#include "app/platform/decoding/FfmpegPointers.h"
#include "app/platform/decoding/HevcFrameConversion.h"
#include "app/platform/decoding/ImageDecoder.h"
#include "app/platform/decoding/PaddedImage.h"
#include "app/platform/decoding/PixelBudget.h"
#include "app/platform/metadata/HevcParameterSets.h"

#include <QTransform>

extern "C" {
#include <libavutil/imgutils.h>
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

    // One coded picture, its NAL units as one packet; without the in-loop filters when `unfiltered`.
    Frame decode(const std::string& data, bool unfiltered)
    {
        ffmpeg::Packet packet(av_packet_alloc());
        Frame frame(av_frame_alloc());
        if (!context_ || !packet || !frame || av_new_packet(packet.get(), int(data.size())) < 0)
            return nullptr;
        std::memcpy(packet->data, data.data(), data.size());
        context_->skip_loop_filter = unfiltered ? AVDISCARD_ALL : AVDISCARD_DEFAULT;
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
               const Picture& picture, int threads, bool unfiltered)
{
    const std::optional<std::string> data = checkedData(source, images, picture);
    Frame frame = data && decoder.open(*picture.config, threads) ? decoder.decode(*data, unfiltered) : nullptr;
    if (std::uint64_t(picture.width) * picture.height > kResidentPixels)
        decoder.close();
    // The decoder outputs the size its parameter set codes, which was checked against the file's.
    if (frame && (std::uint32_t(frame->width) != picture.width || std::uint32_t(frame->height) != picture.height))
        return nullptr;
    return frame;
}

// The pixel format a configuration record's chroma format decodes to (8 bits, as checked).
AVPixelFormat formatOf(const std::string& config)
{
    switch (config.size() > 16 ? config[16] & 3 : -1) {
    case 0: return AV_PIX_FMT_GRAY8;
    case 1: return AV_PIX_FMT_YUV420P;
    case 2: return AV_PIX_FMT_YUV422P;
    case 3: return AV_PIX_FMT_YUV444P;
    default: return AV_PIX_FMT_NONE;
    }
}

AVPixelFormat withoutRange(int format)
{
    switch (format) {
    case AV_PIX_FMT_YUVJ420P: return AV_PIX_FMT_YUV420P;
    case AV_PIX_FMT_YUVJ422P: return AV_PIX_FMT_YUV422P;
    case AV_PIX_FMT_YUVJ444P: return AV_PIX_FMT_YUV444P;
    default: return AVPixelFormat(format);
    }
}

// Copies the visible part of a tile's planes into the grid's frame at (x, y), which the chroma
// subsampling divides.
void place(const AVFrame& tile, AVFrame& grid, int x, int y, int width, int height)
{
    const AVPixFmtDescriptor* layout = av_pix_fmt_desc_get(AVPixelFormat(grid.format));
    for (int plane = 0; plane < 4 && grid.data[plane]; ++plane) {
        const bool chroma = plane == 1 || plane == 2;
        const int sx = chroma ? layout->log2_chroma_w : 0;
        const int sy = chroma ? layout->log2_chroma_h : 0;
        av_image_copy_plane(grid.data[plane] + qsizetype(y >> sy) * grid.linesize[plane] + (x >> sx),
                            grid.linesize[plane], tile.data[plane], tile.linesize[plane],
                            AV_CEIL_RSHIFT(width, sx), AV_CEIL_RSHIFT(height, sy));
    }
}

bool cropped(const Image& image)
{
    return std::any_of(image.transforms.begin(), image.transforms.end(),
                       [](const auto& t) { return t.kind == HeifBoxReader::Transform::Kind::crop; });
}

// The pixels a picture holds until it is shown: the canvas, the frames decoding into it and, when it
// is cropped at full size, the cropped copy.
std::uint64_t heldPixels(const Image& image)
{
    if (image.tiles.empty())
        return 0;
    const std::uint64_t tilePixels = std::uint64_t(image.tiles.front().width) * image.tiles.front().height;
    const std::uint64_t threads = std::uint64_t(DecodeWorkers::usableCores(kMaxThreads));
    const std::uint64_t inFlight = tilePixels * std::min<std::uint64_t>(image.tiles.size(), threads);
    const std::uint64_t full = std::uint64_t(image.width) * image.height;
    return full * (cropped(image) ? 2 : 1) + inFlight;
}

QImage decodeHeld(const ByteSource& source, const HeifBoxReader::Images& images, const Image& image, int maxPixelSize,
                  Filtering filtering)
{
    if (image.tiles.empty() || image.columns <= 0)
        return {};
    const int tileWidth = int(image.tiles.front().width);
    const int tileHeight = int(image.tiles.front().height);
    const size_t count = image.tiles.size();
    const int threads = DecodeWorkers::usableCores(kMaxThreads);
    const std::uint64_t tilePixels = std::uint64_t(tileWidth) * std::uint64_t(tileHeight);
    const QSize full(int(image.width), int(image.height));
    // A crop is in full-size pixels, so a cropped picture is made at full size and fitted after.
    const bool crops = cropped(image);
    // A grid's tiles are gathered into one frame to be scaled whole, where its chroma subsampling
    // divides them.
    const AVPixelFormat format = formatOf(*image.tiles.front().config);
    const AVPixFmtDescriptor* layout = av_pix_fmt_desc_get(format);
    const bool gathers = count == 1
        || (layout && tileWidth % (1 << layout->log2_chroma_w) == 0 && tileHeight % (1 << layout->log2_chroma_h) == 0);
    const QSize size = maxPixelSize > 0 && !crops && gathers ? ImageScaling::fittedSize(full, maxPixelSize) : full;
    // Shown at most this much of its size, the in-loop filters' work is lost in the scaling.
    const bool unfiltered = filtering == Filtering::asShown
        && std::int64_t(std::max(size.width(), size.height())) * 10 <= std::int64_t(std::max(full.width(), full.height())) * 6;
    // Written by swscale, band by band and tile by tile.
    QImage canvas = PaddedImage::allocate(size, QImage::Format_RGB32);
    if (canvas.isNull())
        return {};
    const auto clippedWidth = [&](int x) { return std::min(tileWidth, full.width() - x); };
    const auto clippedHeight = [&](int y) { return std::min(tileHeight, full.height() - y); };
    const bool scaled = size != full;
    if (count > 1) {
        // A grid: each tile decodes on one thread and goes straight into its place, converted when
        // shown at full size, else as it is into one frame that is then scaled and converted whole.
        // Each thread keeps its decoder for the next tile and the next grid, whose configuration is
        // usually the same.
        ffmpeg::Frame whole(scaled ? av_frame_alloc() : nullptr);
        if (scaled) {
            if (!whole)
                return {};
            whole->format = format;
            whole->width = full.width();
            whole->height = full.height();
            if (av_frame_get_buffer(whole.get(), 0) < 0)
                return {};
        }
        const bool ok = DecodeWorkers::run(count, threads, [&](size_t i) {
            thread_local PictureDecoder decoder;
            const Picture& tile = image.tiles[i];
            const int x = int(i % size_t(image.columns)) * tileWidth;
            const int y = int(i / size_t(image.columns)) * tileHeight;
            const Frame frame = decodeOn(decoder, source, images, tile, 1, unfiltered);
            if (!frame)
                return false;
            if (!scaled)
                return HevcFrameConversion::convert(*frame, image, canvas, x, y, clippedWidth(x), 0, clippedHeight(y));
            if (withoutRange(frame->format) != format)
                return false;
            if (i == 0) {
                whole->color_range = frame->color_range;
                whole->colorspace = frame->colorspace;
            }
            place(*frame, *whole, x, y, clippedWidth(x), clippedHeight(y));
            return true;
        });
        return ok && (!scaled || HevcFrameConversion::convertScaled(*whole, image, full.width(), full.height(), canvas, threads))
            ? canvas
            : QImage();
    }
    // A lone picture: its wavefronts decode side by side, then bands of rows convert side by side.
    const bool large = tilePixels >= kThreadedPixels;
    // A thumbnail's decoder stays with its thread for the next thumbnail: opening one costs about a
    // tenth of decoding the picture, and a threaded one starts its threads when it opens.
    thread_local PictureDecoder small;
    thread_local PictureDecoder big;
    PictureDecoder& decoder = large ? big : small;
    const Frame frame = decodeOn(decoder, source, images, image.tiles.front(), large ? threads : 1, unfiltered);
    if (!frame)
        return {};
    const int width = clippedWidth(0);
    const int height = clippedHeight(0);
    if (scaled)
        return HevcFrameConversion::convertScaled(*frame, image, width, height, canvas, large ? threads : 1) ? canvas
                                                                                                            : QImage();
    constexpr int kBandRows = 256; // a multiple of any chroma subsampling
    const size_t bands = large ? size_t((height + kBandRows - 1) / kBandRows) : 1;
    const int rows = large ? kBandRows : height;
    const bool ok = DecodeWorkers::run(bands, threads, [&](size_t band) {
        const int top = int(band) * rows;
        return HevcFrameConversion::convert(*frame, image, canvas, 0, 0, width, top, std::min(rows, height - top));
    });
    return ok ? canvas : QImage();
}

} // namespace

QImage decode(const ByteSource& source, const HeifBoxReader::Images& images, const Image& image, int maxPixelSize,
             Filtering filtering)
{
    const PixelBudget::Lease lease(heldPixels(image));
    return decodeHeld(source, images, image, maxPixelSize, filtering);
}

QImage decodeShown(const ByteSource& source, const HeifBoxReader::Images& images, const Image& image, int maxPixelSize)
{
    // Held until the picture is shown: a cropped one is fitted only after its crop.
    const PixelBudget::Lease lease(heldPixels(image));
    const QImage decoded = decodeHeld(source, images, image, maxPixelSize, Filtering::asShown);
    return decoded.isNull() ? decoded : shown(decoded, image, maxPixelSize);
}

QImage shown(const QImage& decoded, const Image& image, int maxPixelSize)
{
    using Kind = HeifBoxReader::Transform::Kind;
    const bool crops = cropped(image);
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
