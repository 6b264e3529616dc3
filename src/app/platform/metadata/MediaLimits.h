#pragma once

#include <QSize>

#include <cstdint>
#include <optional>

struct AVCodecContext;
struct AVFormatContext;
struct AVPacket;
struct AVStream;

namespace app {

class ByteSource;

// What a camera makes, and so what a file may make us allocate: a picture over these sizes,
// declared or coded, is an unreadable file, whatever decoder would take it.
namespace mediaLimits {

constexpr std::uint32_t maximumSide = 16384;
constexpr std::uint64_t maximumPixels = 128ull * 1024 * 1024;
// What reading a container's header may cost, whatever counts it declares.
constexpr std::uint64_t maximumHeaderBytes = 64ull * 1024 * 1024;

constexpr bool pictureWithin(std::uint64_t width, std::uint64_t height)
{
    return width > 0 && height > 0 && width <= maximumSide && height <= maximumSide
        && width * height <= maximumPixels;
}
inline bool pictureWithin(QSize size)
{
    return size.width() > 0 && size.height() > 0 && pictureWithin(std::uint64_t(size.width()), std::uint64_t(size.height()));
}

} // namespace mediaLimits

// The size a video stream's decoder allocates for a picture: what its parameter sets code when it
// carries H.264 or HEVC ones (a conformance window crops what is shown, not what is allocated),
// else what its parameters declare. Empty when neither says or they disagree among themselves.
QSize codedVideoSize(const AVStream* stream);

// avformat_find_stream_info for a file whose video streams were checked first (one over the
// limits fails it, and so do more picture and sound streams than a camera writes, each of which
// it would probe), with the decoders it opens to look at them refusing to allocate pictures over
// the limits. Negative on failure, as FFmpeg's.
int findBoundedStreamInfo(AVFormatContext* format);

// Whether the parameter sets a packet of the stream carries code no more than `coded`: a decoder
// sizes its tables by them before it allocates a picture.
bool packetCodesWithin(const AVStream* stream, const AVPacket* packet, QSize coded);
// The size the parameter sets a packet of the stream carries code: an invalid size when it carries
// none, nothing when they are malformed. Sides past the limits come back just past them.
std::optional<QSize> packetCodedSize(const AVStream* stream, const AVPacket* packet);

// Makes a video decoder refuse to allocate a picture larger than `coded` (which must outlive it),
// give or take the alignment of a coding block: a parameter set further into the stream cannot
// make it allocate more than was checked before it opened. Uses the decoder's `opaque`.
void boundPictureBuffers(AVCodecContext* codec, const QSize* coded);

// How far a stream's display matrix turns its pictures, clockwise: the nearest quarter turn, or 0
// when the matrix is more than a degree from any.
int clockwiseQuarterTurns(const AVStream* stream);

// Whether what FFmpeg allocates to read the header of an MP4, QuickTime or Matroska file (its
// index, its fragments, its streams, whatever counts declare them) fits the header bound; a file
// that is none of these passes.
bool headerReadWithinBound(const ByteSource& file);

} // namespace app
