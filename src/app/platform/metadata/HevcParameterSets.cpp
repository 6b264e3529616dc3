#include "app/platform/metadata/HevcParameterSets.h"

#include <optional>
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
    std::int32_t se()
    {
        const std::uint32_t v = ue();
        return v & 1 ? std::int32_t((v + 1) / 2) : -std::int32_t(v / 2);
    }
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

// The payload after the NAL header (two bytes in HEVC, one in H.264), without its emulation
// prevention bytes.
std::string payloadOf(std::string_view nal, size_t headerSize = 2)
{
    std::string out;
    int zeros = 0;
    for (size_t i = headerSize; i < nal.size(); ++i) {
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

bool isH264Set(std::string_view nal)
{
    return !nal.empty() && (std::uint8_t(nal[0]) & 0x1f) == 7;
}

void skipScalingList(Bits& b, int count)
{
    std::int32_t last = 8, next = 8;
    for (int j = 0; j < count && b.ok(); ++j) {
        if (next != 0)
            next = (last + b.se() + 256) % 256;
        last = next == 0 ? last : next;
    }
}

// An H.264 sequence parameter set's size.
Found readH264Set(std::string_view nal, PictureSize& size)
{
    if (nal.size() < 4 || nal.size() > kMaximumSetSize)
        return Found::malformed;
    Bits b(payloadOf(nal, 1));
    const std::uint32_t profile = b.bits(8);
    b.skip(16); // constraints and level
    (void)b.ue();
    std::uint32_t chroma = 1;
    bool separatePlanes = false;
    switch (profile) {
    case 100: case 110: case 122: case 244: case 44: case 83: case 86: case 118: case 128: case 138: case 139:
    case 134: case 135:
        chroma = b.ue();
        if (chroma > 3)
            return Found::malformed;
        if (chroma == 3)
            separatePlanes = b.bits(1);
        (void)b.ue(); // bit depths
        (void)b.ue();
        b.skip(1);
        if (b.bits(1))
            for (int i = 0; i < (chroma == 3 ? 12 : 8) && b.ok(); ++i)
                if (b.bits(1))
                    skipScalingList(b, i < 6 ? 16 : 64);
        break;
    default: break;
    }
    (void)b.ue(); // frame number length
    const std::uint32_t order = b.ue();
    if (order == 0) {
        (void)b.ue();
    } else if (order == 1) {
        b.skip(1);
        (void)b.se();
        (void)b.se();
        const std::uint32_t cycle = b.ue();
        if (cycle > 255)
            return Found::malformed;
        for (std::uint32_t i = 0; i < cycle && b.ok(); ++i)
            (void)b.se();
    }
    (void)b.ue(); // reference frames
    b.skip(1);
    const std::uint64_t widthInBlocks = std::uint64_t(b.ue()) + 1;
    const std::uint64_t heightInUnits = std::uint64_t(b.ue()) + 1;
    const bool framesOnly = b.bits(1);
    if (!framesOnly)
        b.skip(1);
    b.skip(1);
    std::uint32_t window[4] = {};
    if (b.bits(1))
        for (std::uint32_t& w : window)
            w = b.ue();
    const std::uint64_t width = 16 * widthInBlocks;
    const std::uint64_t height = 16 * heightInUnits * (framesOnly ? 1 : 2);
    if (!b.ok() || width > 0xffffffffu || height > 0xffffffffu)
        return Found::malformed;
    const bool subsampled = chroma != 0 && !separatePlanes;
    const std::uint64_t unitX = subsampled && chroma != 3 ? 2 : 1;
    const std::uint64_t unitY = (subsampled && chroma == 1 ? 2 : 1) * (framesOnly ? 1 : 2);
    const std::uint64_t cropX = unitX * (std::uint64_t(window[0]) + window[1]);
    const std::uint64_t cropY = unitY * (std::uint64_t(window[2]) + window[3]);
    if (cropX >= width || cropY >= height)
        return Found::malformed;
    size.codedWidth = std::uint32_t(width);
    size.codedHeight = std::uint32_t(height);
    size.width = std::uint32_t(width - cropX);
    size.height = std::uint32_t(height - cropY);
    return Found::size;
}

// Adds one more parameter set to what was found: every one must code the same size, since a
// decoder takes whichever comes last.
Found another(Found sofar, std::string_view nal, PictureSize& size, bool h264 = false)
{
    PictureSize next;
    const Found found = h264 ? readH264Set(nal, next) : readSet(nal, next);
    if (found != Found::size || sofar == Found::malformed)
        return Found::malformed;
    if (sofar == Found::size
        && (next.width != size.width || next.height != size.height || next.codedWidth != size.codedWidth
            || next.codedHeight != size.codedHeight))
        return Found::malformed;
    size = next;
    return Found::size;
}

// The unit of a configuration record at `at`, after its 16-bit length; nothing when it does not fit.
std::optional<std::string_view> recordUnit(std::string_view record, size_t& at)
{
    if (record.size() - at < 2)
        return std::nullopt;
    const size_t length = (size_t(std::uint8_t(record[at])) << 8) | std::uint8_t(record[at + 1]);
    at += 2;
    if (record.size() - at < length)
        return std::nullopt;
    at += length;
    return record.substr(at - length, length);
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
            const std::optional<std::string_view> nal = recordUnit(record, at);
            if (!nal)
                return Found::malformed;
            if (type == kSequenceParameterSet || nalType(*nal) == kSequenceParameterSet)
                found = another(found, *nal, size);
        }
    }
    return found;
}

Found streamSize(std::string_view data, int lengthSize, PictureSize& size, bool h264)
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
        if (h264 ? isH264Set(nal) : nalType(nal) == kSequenceParameterSet)
            found = another(found, nal, size, h264);
    }
    return found;
}

Found avcConfigSize(std::string_view record, PictureSize& size)
{
    if (record.size() < 6 || record[0] != 1)
        return Found::malformed;
    size_t at = 5;
    Found found = Found::none;
    const int count = std::uint8_t(record[at++]) & 0x1f;
    for (int n = 0; n < count; ++n) {
        const std::optional<std::string_view> nal = recordUnit(record, at);
        if (!nal)
            return Found::malformed;
        found = another(found, *nal, size, true);
    }
    return found;
}

Found annexBSize(std::string_view data, bool h264, PictureSize& size)
{
    Found found = Found::none;
    for (size_t at = data.find(std::string_view("\0\0\1", 3)); at != std::string_view::npos;) {
        const size_t begin = at + 3;
        at = data.find(std::string_view("\0\0\1", 3), begin);
        std::string_view nal = data.substr(begin, at == std::string_view::npos ? std::string_view::npos : at - begin);
        while (at != std::string_view::npos && !nal.empty() && nal.back() == 0)
            nal.remove_suffix(1);
        if (h264 ? isH264Set(nal) : nalType(nal) == kSequenceParameterSet)
            found = another(found, nal, size, h264);
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
