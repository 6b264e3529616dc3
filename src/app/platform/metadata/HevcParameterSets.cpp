#include "app/platform/metadata/HevcParameterSets.h"

#include <string>

namespace app::hevc {

namespace {

constexpr int kSequenceParameterSet = 33;
// A parameter set is a few dozen bytes; anything far larger is not one we read.
constexpr size_t kMaximumSetSize = 4096;
// The largest coding block: a coded picture may exceed its shown size by less than that.
constexpr std::uint32_t kMaximumAlignment = 64;

// Exp-Golomb and fixed-width reads over the set's payload with its emulation bytes removed; a
// read past the end sets `ok` to false.
class Bits {
public:
    explicit Bits(std::string payload) : bytes_(std::move(payload)) {}
    bool ok() const { return ok_; }
    std::uint32_t bits(int n)
    {
        std::uint32_t v = 0;
        for (int i = 0; i < n; ++i) {
            if (at_ >= bytes_.size() * 8) {
                ok_ = false;
                return 0;
            }
            v = (v << 1) | ((std::uint8_t(bytes_[at_ / 8]) >> (7 - at_ % 8)) & 1);
            ++at_;
        }
        return v;
    }
    void skip(int n) { (void)bits(n); }
    std::uint32_t ue()
    {
        int zeros = 0;
        while (ok_ && bits(1) == 0)
            if (++zeros > 31) {
                ok_ = false;
                return 0;
            }
        if (!ok_)
            return 0;
        return std::uint32_t((std::uint64_t(1) << zeros) - 1 + bits(zeros));
    }

private:
    std::string bytes_;
    size_t at_ = 0;
    bool ok_ = true;
};

// The payload after the two-byte NAL header, without its emulation prevention bytes.
std::string payloadOf(std::string_view nal)
{
    std::string out;
    int zeros = 0;
    for (size_t i = 2; i < nal.size(); ++i) {
        const char c = nal[i];
        if (zeros >= 2 && c == 3) {
            zeros = 0;
            continue;
        }
        zeros = c == 0 ? zeros + 1 : 0;
        out.push_back(c);
    }
    return out;
}

int nalType(std::string_view nal)
{
    return nal.empty() ? -1 : (std::uint8_t(nal[0]) >> 1) & 0x3f;
}

Found readSet(std::string_view nal, PictureSize& size)
{
    if (nal.size() < 3 || nal.size() > kMaximumSetSize)
        return Found::malformed;
    Bits b(payloadOf(nal));
    b.skip(4); // video parameter set id
    const int subLayers = int(b.bits(3));
    b.skip(1);
    // Profile, tier and level: the general part, then which sub-layer parts follow.
    b.skip(96);
    bool profilePresent[8] = {};
    bool levelPresent[8] = {};
    for (int i = 0; i < subLayers; ++i) {
        profilePresent[i] = b.bits(1);
        levelPresent[i] = b.bits(1);
    }
    if (subLayers > 0)
        for (int i = subLayers; i < 8; ++i)
            b.skip(2);
    for (int i = 0; i < subLayers; ++i) {
        if (profilePresent[i])
            b.skip(88);
        if (levelPresent[i])
            b.skip(8);
    }
    (void)b.ue(); // its own id
    const std::uint32_t chroma = b.ue();
    if (chroma > 3)
        return Found::malformed;
    bool separatePlanes = false;
    if (chroma == 3)
        separatePlanes = b.bits(1);
    const std::uint32_t width = b.ue();
    const std::uint32_t height = b.ue();
    std::uint32_t window[4] = {};
    if (b.bits(1))
        for (std::uint32_t& w : window)
            w = b.ue();
    if (!b.ok() || width == 0 || height == 0)
        return Found::malformed;
    const std::uint64_t unitX = chroma == 1 || chroma == 2 ? 2 : 1;
    const std::uint64_t unitY = chroma == 1 ? 2 : 1;
    (void)separatePlanes; // separate planes crop in luma units, as 4:4:4 does
    const std::uint64_t cropX = unitX * (std::uint64_t(window[0]) + window[1]);
    const std::uint64_t cropY = unitY * (std::uint64_t(window[2]) + window[3]);
    if (cropX >= width || cropY >= height)
        return Found::malformed;
    size.codedWidth = width;
    size.codedHeight = height;
    size.width = std::uint32_t(width - cropX);
    size.height = std::uint32_t(height - cropY);
    return Found::size;
}

// Adds one more parameter set to what was found: every one must code the same size, since a
// decoder takes whichever comes last.
Found another(Found sofar, std::string_view nal, PictureSize& size)
{
    PictureSize next;
    const Found found = readSet(nal, next);
    if (found != Found::size || sofar == Found::malformed)
        return Found::malformed;
    if (sofar == Found::size
        && (next.width != size.width || next.height != size.height || next.codedWidth != size.codedWidth
            || next.codedHeight != size.codedHeight))
        return Found::malformed;
    size = next;
    return Found::size;
}

} // namespace

int nalLengthSize(std::string_view record)
{
    return record.size() < 23 ? 4 : (std::uint8_t(record[21]) & 3) + 1;
}

Found configSize(std::string_view record, PictureSize& size)
{
    if (record.size() < 23)
        return Found::malformed;
    size_t at = 23;
    Found found = Found::none;
    const int arrays = std::uint8_t(record[22]);
    for (int a = 0; a < arrays; ++a) {
        if (record.size() - at < 3)
            return Found::malformed;
        const int type = std::uint8_t(record[at]) & 0x3f;
        const int count = (std::uint8_t(record[at + 1]) << 8) | std::uint8_t(record[at + 2]);
        at += 3;
        for (int n = 0; n < count; ++n) {
            if (record.size() - at < 2)
                return Found::malformed;
            const size_t length = (size_t(std::uint8_t(record[at])) << 8) | std::uint8_t(record[at + 1]);
            at += 2;
            if (record.size() - at < length)
                return Found::malformed;
            const std::string_view nal = record.substr(at, length);
            at += length;
            if (type == kSequenceParameterSet || nalType(nal) == kSequenceParameterSet)
                found = another(found, nal, size);
        }
    }
    return found;
}

Found streamSize(std::string_view data, int lengthSize, PictureSize& size)
{
    if (lengthSize < 1 || lengthSize > 4)
        return Found::malformed;
    size_t at = 0;
    Found found = Found::none;
    while (data.size() - at >= size_t(lengthSize)) {
        size_t length = 0;
        for (int i = 0; i < lengthSize; ++i)
            length = (length << 8) | std::uint8_t(data[at + size_t(i)]);
        at += size_t(lengthSize);
        if (data.size() - at < length)
            return found;
        const std::string_view nal = data.substr(at, length);
        at += length;
        if (nalType(nal) == kSequenceParameterSet)
            found = another(found, nal, size);
    }
    return found;
}

bool matches(const PictureSize& size, std::uint32_t width, std::uint32_t height, bool turned)
{
    const bool straight = size.width == width && size.height == height;
    const bool transposed = turned && size.width == height && size.height == width;
    return (straight || transposed) && size.codedWidth - size.width < kMaximumAlignment
        && size.codedHeight - size.height < kMaximumAlignment;
}

} // namespace app::hevc
