#include "app/platform/metadata/JpegHeader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace app;

namespace {

// Counts what a reader asked for, and can fail every read.
class CountingSource final : public ByteSource {
public:
    CountingSource(const std::string& bytes, bool failing) : memory_(bytes.data(), qint64(bytes.size())), failing_(failing) {}
    qint64 size() const override { return memory_.size(); }
    qint64 read(qint64 offset, void* buffer, qint64 count) const override
    {
        if (failing_)
            return -1;
        const qint64 n = memory_.read(offset, buffer, count);
        bytesRead += n;
        return n;
    }
    mutable qint64 bytesRead = 0;

private:
    MemoryByteSource memory_;
    bool failing_;
};

std::string segment(unsigned char marker, size_t bodySize, char fill = 'x')
{
    std::string s{char(0xff), char(marker)};
    const size_t length = bodySize + 2;
    s += char(length >> 8);
    s += char(length & 0xff);
    s += std::string(bodySize, fill);
    return s;
}

const std::string soi{char(0xff), char(0xd8)};
const std::string sos{char(0xff), char(0xda)};
const std::string frame = segment(0xc0, 15);
const std::string scan(1 << 20, char(0x55)); // a megabyte of picture after the header

} // namespace

TEST(JpegHeaderTest, ReadsTheSegmentsBeforeTheScanAndNothingElse)
{
    using R = JpegHeader::Result;
    const std::string camera = soi + segment(0xe1, 40000) + segment(0xe2, 500) + segment(0xdb, 130) + frame
        + segment(0xc4, 400) + sos;
    const std::string padded = soi + segment(0xe1, 100) + "\x12\x34" + "\xff\xff" + frame + sos;
    const std::string hugeHeader = [] {
        std::string s = soi;
        while (s.size() <= size_t(JpegHeader::maximumByteCount))
            s += segment(0xe2, 65000);
        return s + frame + sos;
    }();
    // A header of exactly `size` bytes through its start-of-scan marker.
    const auto headerOfSize = [&](size_t size) {
        std::string s = soi;
        while (s.size() + 65004 + frame.size() + sos.size() + 4 < size)
            s += segment(0xe2, 65000);
        s += segment(0xe2, size - s.size() - frame.size() - sos.size() - 4);
        return s + frame + sos;
    };
    const std::string atTheLimit = headerOfSize(size_t(JpegHeader::maximumByteCount));
    const std::string pastTheLimit = headerOfSize(size_t(JpegHeader::maximumByteCount) + 1);
    const qint64 page = 4096;
    const qint64 any = qint64(1) << 40;
    struct Case {
        const char* name;
        std::string bytes;
        bool failing;
        R result;
        size_t headerSize;   // bytes handed out
        qint64 maxBytesRead; // what the walk may ask for: the header and at most the next two pages
    };
    const Case cases[] = {
        {"camera layout", camera + scan, false, R::complete, camera.size(), qint64(camera.size()) + 2 * page},
        {"padding and fill bytes", padded + scan, false, R::complete, padded.size(), 2 * page},
        {"end of image before any scan", soi + segment(0xe1, 10) + "\xff\xd9" + scan, false, R::complete, 18, page},
        {"cut inside the Exif segment", (soi + segment(0xe1, 9000)).substr(0, 5000), false, R::wholeFile, 5000, any},
        {"no scan at all", soi + segment(0xe1, 10), false, R::wholeFile, 16, any},
        {"PNG bytes", std::string("\x89PNG\r\n\x1a\n", 8) + scan, false, R::notJpeg, 0, page},
        {"empty", std::string(), false, R::notJpeg, 0, 0},
        {"length below two", soi + std::string("\xff\xe1\x00\x01", 4) + scan, false, R::unusual, 0, page},
        {"restart marker before the scan", soi + "\xff\xd0" + frame + sos + scan, false, R::unusual, 0, page},
        {"header beyond the limit", hugeHeader, false, R::unusual, 0, JpegHeader::maximumByteCount},
        {"header exactly at the limit", atTheLimit + scan, false, R::complete, atTheLimit.size(),
         JpegHeader::maximumByteCount},
        {"header one byte past the limit", pastTheLimit + scan, false, R::unusual, 0, JpegHeader::maximumByteCount},
        {"read error", camera + scan, true, R::unusual, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CountingSource source(c.bytes, c.failing);
        std::vector<std::uint8_t> out{1, 2, 3};
        EXPECT_EQ(JpegHeader::read(source, out), c.result);
        EXPECT_EQ(std::string(out.begin(), out.end()), c.bytes.substr(0, c.headerSize));
        EXPECT_LE(source.bytesRead, c.maxBytesRead);
    }
}
