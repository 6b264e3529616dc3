#include "app/platform/JpegHeader.h"

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

} // namespace app::JpegHeader
