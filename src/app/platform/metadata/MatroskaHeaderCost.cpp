#include "app/platform/metadata/HeaderReadCost.h"

#include "app/platform/metadata/HeaderCostWalk.h"

#include <set>
#include <vector>

namespace app::headerReadCost {

namespace {

using detail::CostWalk;
using detail::kStreamBytes;
using detail::plus;

// Matroska: EBML identifiers and sizes.
constexpr std::uint32_t kEbml = 0x1A45DFA3;
constexpr std::uint32_t kSegment = 0x18538067;
constexpr std::uint32_t kCluster = 0x1F43B675;
constexpr std::uint32_t kSeekHead = 0x114D9B74;
constexpr std::uint32_t kSeek = 0x4DBB;
constexpr std::uint32_t kSeekPosition = 0x53AC;
constexpr std::uint32_t kTrackEntry = 0xAE;
// A track as FFmpeg keeps it while it reads the tracks, and the stream it makes of it; any other
// listed element, with its texts.
constexpr std::uint64_t kTrackBytes = 4096 + kStreamBytes;
constexpr std::uint64_t kListedElementBytes = 512;
// FFmpeg reads at most this many top-level elements, and nests no deeper.
constexpr std::size_t kMaximumTopElements = 64;
constexpr int kMaximumDepth = 16;

bool topLevelRead(std::uint32_t id)
{
    switch (id) {
    case kSeekHead:
    case 0x1549A966: // Info
    case 0x1654AE6B: // Tracks
    case 0x1C53BB6B: // Cues
    case 0x1254C367: // Tags
    case 0x1043A770: // Chapters
    case 0x1941A469: // Attachments
        return true;
    default:
        return false;
    }
}

// The elements FFmpeg reads into lists of its own, one structure each, and walks into.
bool listed(std::uint32_t id)
{
    switch (id) {
    case kTrackEntry:
    case 0xE0: case 0xE1: case 0xE2: case 0xE3: case 0xE4: case 0xE9: // video, audio, track operations
    case 0x6D80: case 0x6240: case 0x5034: case 0x5035: case 0x47E7:   // content encodings
    case 0x55B0: case 0x55D0: case 0x7670: case 0x41E4:               // colour, projection, additions
    case 0x7373: case 0x63C0: case 0x67C8:                             // tags
    case 0x45B9: case 0xB6: case 0x8F: case 0x80: case 0x6944: case 0x6911: // chapters
    case 0x61A7:                                                       // attachments
    case 0xBB: case 0xB7: case 0xDB:                                   // cues
    case kSeek:
    case 0x6924:                                                       // chapter translation
        return true;
    default:
        return false;
    }
}

struct Element {
    std::uint32_t id = 0;
    std::uint64_t body = 0;
    std::uint64_t end = 0;
    bool unknownSize = false;
};

class MatroskaWalk : CostWalk {
public:
    MatroskaWalk(const ByteSource& file, std::uint64_t bound) : CostWalk(file, bound) {}

    std::uint64_t run()
    {
        Element ebml;
        if (!element(0, in_.size(), ebml) || ebml.id != kEbml)
            return 0;
        add(ebml.end - ebml.body);
        Element segment;
        if (!element(ebml.end, in_.size(), segment) || segment.id != kSegment)
            return cost_;
        segmentStart_ = segment.body;
        for (std::uint64_t at = segment.body; at < segment.end && !over();) {
            Element top;
            if (!element(at, segment.end, top))
                break;
            if (top.id == kCluster && top.unknownSize)
                break; // what follows is found through the seek heads
            topElement(top);
            at = top.end;
        }
        for (std::size_t i = 0; i < seeks_.size() && read_.size() < kMaximumTopElements && !over(); ++i) {
            Element top;
            if (element(seeks_[i], segment.end, top))
                topElement(top);
        }
        return result();
    }

private:
    std::uint64_t segmentStart_ = 0;
    std::set<std::uint64_t> read_;
    std::vector<std::uint64_t> seeks_;


    // The element at `at`, its size cut to `to` (an unknown size runs to it); false when its
    // identifier or size cannot be read.
    bool element(std::uint64_t at, std::uint64_t to, Element& out)
    {
        std::uint8_t bytes[12] = {};
        const std::size_t n = in_.read(at, bytes, sizeof bytes);
        if (n < 2 || bytes[0] == 0)
            return false;
        const int idLength = __builtin_clz(std::uint32_t(bytes[0])) - 23;
        if (idLength > 4 || std::size_t(idLength) >= n)
            return false;
        const std::uint8_t first = bytes[idLength];
        if (first == 0)
            return false;
        const int sizeLength = __builtin_clz(std::uint32_t(first)) - 23;
        if (std::size_t(idLength + sizeLength) > n)
            return false;
        out.id = std::uint32_t(isobox::detail::bigEndian(bytes, idLength));
        std::uint64_t size = first & (0xffu >> sizeLength);
        bool allOnes = size == (0xffu >> sizeLength);
        for (int i = 1; i < sizeLength; ++i) {
            size = (size << 8) | bytes[idLength + i];
            allOnes = allOnes && bytes[idLength + i] == 0xff;
        }
        out.body = at + std::uint64_t(idLength + sizeLength);
        out.unknownSize = allOnes;
        if (out.body > to)
            return false;
        out.end = allOnes || size > to - out.body ? to : out.body + size;
        return true;
    }

    void topElement(const Element& top)
    {
        if (!topLevelRead(top.id) || !read_.insert(top.body).second || read_.size() > kMaximumTopElements)
            return;
        add(top.end - top.body);
        walk(top, 1);
    }

    void walk(const Element& parent, int depth)
    {
        if (depth > kMaximumDepth)
            return;
        for (std::uint64_t at = parent.body; at < parent.end && !over();) {
            Element child;
            if (!element(at, parent.end, child))
                return;
            if (listed(child.id)) {
                add(child.id == kTrackEntry ? kTrackBytes : kListedElementBytes);
                walk(child, depth + 1);
            } else if (parent.id == kSeek && child.id == kSeekPosition && child.end - child.body <= 8) {
                const std::uint64_t position = in_.number(child.body, int(child.end - child.body));
                if (seeks_.size() < kMaximumTopElements)
                    seeks_.push_back(plus(segmentStart_, position));
            }
            at = child.end;
        }
    }
};

} // namespace

std::uint64_t matroska(const ByteSource& file, std::uint64_t bound)
{
    return MatroskaWalk(file, bound).run();
}

} // namespace app::headerReadCost
