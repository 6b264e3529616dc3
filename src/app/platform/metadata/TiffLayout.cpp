#include "app/platform/metadata/TiffLayout.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <set>

namespace app::TiffLayout {
namespace {

// Bounds against hostile files: a real camera file has a handful of directories of a few hundred entries.
constexpr int maximumDirectories = 256;
constexpr quint32 maximumEntries = 4096;
constexpr quint32 maximumSubDirectories = 64;

bool isPointerTag(quint16 tag, quint16 type)
{
    // Exif, GPS, interoperability, sub-images, and any value typed as a directory.
    return tag == 0x8769 || tag == 0x8825 || tag == 0xa005 || tag == 0x014a || type == 13;
}

qint64 typeSize(quint16 type)
{
    switch (type) {
    case 3: case 8: return 2;
    case 4: case 9: case 11: case 13: return 4;
    case 5: case 10: case 12: case 16: case 17: case 18: return 8;
    default: return 1;
    }
}

class Walker {
public:
    Walker(const ByteSource& source, qint64 size) : source_(source), size_(size) {}

    Result run()
    {
        Result result;
        std::uint8_t header[8];
        if (!readExactly(0, header, sizeof header))
            return {failed_ ? Status::readError : Status::notTiff, {}};
        if (header[0] == 'I' && header[1] == 'I')
            little_ = true;
        else if (header[0] == 'M' && header[1] == 'M')
            little_ = false;
        else
            return result;
        add(0, 8);
        pending_.push_back(u32(header + 4));
        int directories = 0;
        while (!pending_.empty() && directories < maximumDirectories) {
            const qint64 offset = pending_.back();
            pending_.pop_back();
            if (offset < 8 || !visited_.insert(offset).second)
                continue;
            ++directories;
            if (!directory(offset))
                break;
        }
        if (failed_)
            return {Status::readError, {}};
        result.status = Status::ok;
        result.ranges = merged();
        return result;
    }

private:
    quint16 u16(const std::uint8_t* p) const
    {
        return little_ ? quint16(p[0] | p[1] << 8) : quint16(p[0] << 8 | p[1]);
    }
    quint32 u32(const std::uint8_t* p) const
    {
        return little_ ? quint32(p[0]) | quint32(p[1]) << 8 | quint32(p[2]) << 16 | quint32(p[3]) << 24
                       : quint32(p[0]) << 24 | quint32(p[1]) << 16 | quint32(p[2]) << 8 | quint32(p[3]);
    }

    // False and `failed_` set when bytes inside the file could not be read; false alone beyond its end.
    bool readExactly(qint64 offset, void* buffer, qint64 count)
    {
        if (offset < 0 || count < 0 || offset > size_ - count)
            return false;
        if (source_.read(offset, buffer, count) != count) {
            failed_ = true;
            return false;
        }
        return true;
    }

    void add(qint64 offset, qint64 length)
    {
        if (offset < 0 || offset >= size_ || length <= 0)
            return;
        ranges_.push_back({offset, std::min(length, size_ - offset)});
    }

    bool directory(qint64 offset)
    {
        std::uint8_t countBytes[2];
        if (!readExactly(offset, countBytes, 2))
            return !failed_;
        const quint32 count = std::min<quint32>(u16(countBytes), maximumEntries);
        std::vector<std::uint8_t> entries(size_t(count) * 12 + 4);
        const qint64 available = std::min<qint64>(qint64(entries.size()), size_ - offset - 2);
        if (available <= 0 || !readExactly(offset + 2, entries.data(), available))
            return !failed_;
        add(offset, 2 + available);
        for (quint32 i = 0; i < count && qint64(i) * 12 + 12 <= available; ++i) {
            const std::uint8_t* e = entries.data() + size_t(i) * 12;
            const quint16 tag = u16(e);
            const quint16 type = u16(e + 2);
            const qint64 bytes = qint64(u32(e + 4)) * typeSize(type);
            const qint64 valueOffset = bytes > 4 ? qint64(u32(e + 8)) : -1;
            if (valueOffset >= 0)
                add(valueOffset, bytes);
            if (!isPointerTag(tag, type))
                continue;
            const quint32 pointers = std::min<quint32>(u32(e + 4), maximumSubDirectories);
            if (valueOffset < 0) {
                pending_.push_back(u32(e + 8));
                continue;
            }
            std::vector<std::uint8_t> list(size_t(pointers) * 4);
            if (!readExactly(valueOffset, list.data(), qint64(list.size()))) {
                if (failed_)
                    return false;
                continue;
            }
            for (quint32 p = 0; p < pointers; ++p)
                pending_.push_back(u32(list.data() + size_t(p) * 4));
        }
        if (qint64(count) * 12 + 4 <= available)
            pending_.push_back(u32(entries.data() + size_t(count) * 12));
        return true;
    }

    std::vector<Range> merged()
    {
        std::sort(ranges_.begin(), ranges_.end(), [](const Range& a, const Range& b) { return a.offset < b.offset; });
        std::vector<Range> out;
        for (const Range& r : ranges_) {
            if (!out.empty() && r.offset <= out.back().offset + out.back().length)
                out.back().length = std::max(out.back().length, r.offset + r.length - out.back().offset);
            else
                out.push_back(r);
        }
        return out;
    }

    const ByteSource& source_;
    const qint64 size_;
    bool little_ = true;
    bool failed_ = false;
    std::vector<qint64> pending_;
    std::set<qint64> visited_;
    std::vector<Range> ranges_;
};

} // namespace

Result read(const ByteSource& source, qint64 size)
{
    return Walker(source, size).run();
}

void hideThumbnailAndMakerNote(std::uint8_t* t, size_t size)
{
    if (size < 8 || !((t[0] == 'I' && t[1] == 'I') || (t[0] == 'M' && t[1] == 'M')))
        return;
    const bool little = t[0] == 'I';
    const auto u16 = [&](size_t at) { return little ? quint16(t[at] | t[at + 1] << 8) : quint16(t[at] << 8 | t[at + 1]); };
    const auto u32 = [&](size_t at) {
        return little ? quint32(t[at]) | quint32(t[at + 1]) << 8 | quint32(t[at + 2]) << 16 | quint32(t[at + 3]) << 24
                      : quint32(t[at]) << 24 | quint32(t[at + 1]) << 16 | quint32(t[at + 2]) << 8 | quint32(t[at + 3]);
    };
    // Entries of the directory at `at`, or 0 when it does not fit.
    const auto entries = [&](size_t at) -> size_t {
        if (at < 8 || at > size - 2)
            return 0;
        const size_t n = u16(at);
        return at + 2 + n * 12 + 4 <= size ? n : 0;
    };
    const size_t ifd0 = u32(4);
    const size_t n0 = entries(ifd0);
    if (n0 == 0)
        return;
    std::memset(t + ifd0 + 2 + n0 * 12, 0, 4); // no next directory
    for (size_t i = 0; i < n0; ++i) {
        const size_t e = ifd0 + 2 + i * 12;
        if (u16(e) != 0x8769 || u32(e + 4) != 1)
            continue;
        const size_t exif = u32(e + 8);
        const size_t n = entries(exif);
        for (size_t j = 0; j < n; ++j) {
            std::uint8_t* entry = t + exif + 2 + j * 12;
            if (u16(exif + 2 + j * 12) == 0x927c)
                std::memset(entry + 4, 0, 4); // a maker note of no bytes is no maker note
        }
    }
}

} // namespace app::TiffLayout
