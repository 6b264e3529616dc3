#include "app/platform/metadata/JpegHeader.h"

#include <cstring>

#include <algorithm>

namespace app::JpegHeader {
namespace {

// Reads grow the buffer to page boundaries: the disk reads whole pages anyway, and the next
// segment's marker usually comes with them.
constexpr qint64 kPage = 4096;

class Buffer {
public:
    Buffer(const ByteSource& source, std::vector<std::uint8_t>& bytes) : source_(source), bytes_(bytes)
    {
        bytes_.clear();
    }

    // True when the first `count` bytes are here.
    bool ensure(qint64 count)
    {
        if (count <= have_)
            return true;
        if (ended_ || failed_)
            return false;
        if (count > maximumByteCount) {
            tooLong_ = true;
            return false;
        }
        const qint64 want = std::min(((count + 4 + kPage - 1) / kPage) * kPage, maximumByteCount);
        bytes_.resize(size_t(want));
        const qint64 n = source_.read(have_, bytes_.data() + have_, want - have_);
        if (n < 0) {
            failed_ = true;
            bytes_.resize(size_t(have_));
            return false;
        }
        have_ += n;
        ended_ = have_ < want;
        bytes_.resize(size_t(have_));
        return count <= have_;
    }

    std::uint8_t at(qint64 i) const { return bytes_[size_t(i)]; }

    // Why the last ensure() failed.
    Result shortfall() const
    {
        if (failed_ || tooLong_)
            return Result::unusual;
        return Result::wholeFile;
    }

    void cut(qint64 count) { bytes_.resize(size_t(count)); }

private:
    const ByteSource& source_;
    std::vector<std::uint8_t>& bytes_;
    qint64 have_ = 0;
    bool ended_ = false;
    bool failed_ = false;
    bool tooLong_ = false;
};

Result walk(const ByteSource& source, std::vector<std::uint8_t>& out)
{
    Buffer buffer(source, out);
    if (!buffer.ensure(2))
        return buffer.shortfall() == Result::unusual ? Result::unusual : Result::notJpeg;
    if (buffer.at(0) != 0xff || buffer.at(1) != 0xd8)
        return Result::notJpeg;
    qint64 p = 2;
    for (;;) {
        // Bytes before a marker are skipped, as metadata readers do; then any run of fill bytes.
        for (;;) {
            if (!buffer.ensure(p + 1))
                return buffer.shortfall();
            if (buffer.at(p) == 0xff)
                break;
            ++p;
        }
        for (;;) {
            if (!buffer.ensure(p + 2))
                return buffer.shortfall();
            if (buffer.at(p + 1) != 0xff)
                break;
            ++p;
        }
        const std::uint8_t marker = buffer.at(p + 1);
        if (marker == 0xda || marker == 0xd9) { // start of scan, end of image
            buffer.cut(p + 2);
            return Result::complete;
        }
        // Markers without a length do not belong before the scan; readers disagree on them.
        if (marker == 0x01 || (marker >= 0xd0 && marker <= 0xd8) || marker == 0x00)
            return Result::unusual;
        if (!buffer.ensure(p + 4))
            return buffer.shortfall();
        const qint64 length = (qint64(buffer.at(p + 2)) << 8) | buffer.at(p + 3);
        if (length < 2)
            return Result::unusual;
        p += 2 + length;
    }
}

} // namespace

Result read(const ByteSource& source, std::vector<std::uint8_t>& out)
{
    const Result result = walk(source, out);
    if (result != Result::complete && result != Result::wholeFile)
        out.clear();
    return result;
}

Parts parts(const std::vector<std::uint8_t>& header)
{
    Parts out;
    const size_t size = header.size();
    const std::uint8_t* b = header.data();
    size_t at = 2; // after the start-of-image marker
    while (at + 4 <= size) {
        if (b[at] != 0xff)
            break;
        const std::uint8_t marker = b[at + 1];
        if (marker == 0xff) {
            ++at; // fill byte
            continue;
        }
        if (marker == 0xda || marker == 0xd9)
            break;
        if ((marker >= 0xd0 && marker <= 0xd7) || marker == 0x01) {
            at += 2;
            continue;
        }
        const size_t length = size_t(b[at + 2]) << 8 | b[at + 3];
        if (length < 2 || at + 2 + length > size)
            break;
        const std::uint8_t* segment = b + at + 4;
        const size_t segmentSize = length - 2;
        if (marker == 0xe1 && !out.exif && segmentSize > 6 && std::memcmp(segment, "Exif\0\0", 6) == 0) {
            out.exif = segment + 6;
            out.exifSize = segmentSize - 6;
        }
        const bool frame = marker >= 0xc0 && marker <= 0xcf && marker != 0xc4 && marker != 0xc8 && marker != 0xcc;
        if (frame && out.width == 0 && segmentSize >= 5) {
            out.height = segment[1] << 8 | segment[2];
            out.width = segment[3] << 8 | segment[4];
        }
        at += 2 + length;
    }
    return out;
}

} // namespace app::JpegHeader
