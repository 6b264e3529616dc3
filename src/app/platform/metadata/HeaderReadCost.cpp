#include "app/platform/metadata/HeaderReadCost.h"

#include "app/platform/metadata/IsoBoxWalker.h"
#include "app/platform/metadata/MetadataFile.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <map>
#include <set>
#include <vector>

namespace app::headerReadCost {

namespace {

using isobox::fourCC;

constexpr std::uint64_t kMost = std::numeric_limits<std::uint64_t>::max();

std::uint64_t times(std::uint64_t a, std::uint64_t b)
{
    std::uint64_t product = 0;
    return __builtin_mul_overflow(a, b, &product) ? kMost : product;
}

std::uint64_t plus(std::uint64_t a, std::uint64_t b)
{
    return a > kMost - b ? kMost : a + b;
}

// Reads a page of the file at a time: walking many small boxes or table entries is not a call per
// entry, and a sparse walk reads from the drive no more pages than it touches.
class PagedReader {
public:
    explicit PagedReader(const ByteSource& file) : file_(file), size_(std::uint64_t(std::max<qint64>(file.size(), 0))) {}

    std::uint64_t size() const { return size_; }
    bool failed() const { return failed_; }

    // Up to `count` bytes (at most a page) at `offset`; fewer at the end of the file.
    std::size_t read(std::uint64_t offset, std::uint8_t* out, std::size_t count)
    {
        count = std::min(count, page_.size());
        if (offset >= size_)
            return 0;
        if (offset < start_ || offset - start_ + count > filled_) {
            const qint64 n = file_.read(qint64(offset), page_.data(), qint64(page_.size()));
            failed_ = failed_ || n < 0;
            start_ = offset;
            filled_ = std::size_t(std::max<qint64>(n, 0));
        }
        const std::size_t n = std::min<std::size_t>(count, filled_ - std::size_t(offset - start_));
        std::memcpy(out, page_.data() + (offset - start_), n);
        return n;
    }

    // A big-endian number of `bytes` (at most 8) at `offset`; 0 past the end of the file.
    std::uint64_t number(std::uint64_t offset, int bytes, bool* complete = nullptr)
    {
        std::uint8_t data[8] = {};
        const bool whole = read(offset, data, std::size_t(bytes)) == std::size_t(bytes);
        if (complete)
            *complete = whole;
        return whole ? isobox::detail::bigEndian(data, bytes) : 0;
    }

private:
    const ByteSource& file_;
    std::uint64_t size_;
    std::array<std::uint8_t, 4096> page_{};
    std::uint64_t start_ = 0;
    std::size_t filled_ = 0;
    bool failed_ = false;
};

// What FFmpeg 5 keeps, as read from its demuxers and measured on files crafted to make it allocate.
// For each sample of a track's index: its entry, and its composition offset when the track has any.
constexpr std::uint64_t kIndexEntryBytes = 24;
constexpr std::uint64_t kOffsetBytes = 8;
// An edit that plays a track copies the entries and offsets of the samples it plays: any of them.
constexpr std::uint64_t kEditedSampleBytes = kIndexEntryBytes + kOffsetBytes;
// A fragment's sample: its index entry and its offset, zeroed as the fragment is read.
constexpr std::uint64_t kFragmentSampleBytes = kIndexEntryBytes + kOffsetBytes;
// A stream's contexts and what probing it opens.
constexpr std::uint64_t kStreamBytes = 16 * 1024;
constexpr std::uint64_t kMaximumStreams = 1000; // FFmpeg makes no more
// Each fragment, found by its box or by a segment index, keeps an entry for every stream.
constexpr std::uint64_t kFragmentStreamBytes = 64;
// A metadata key: its pointer, and an allocation for its name.
constexpr std::uint64_t kKeyBytes = 8 + 64;
// An uncompressed sound track has an index entry for about every 1024 samples of a chunk, or for
// each frame of 160 samples or more its description declares.
constexpr std::uint64_t kSamplesPerSoundEntry = 1020;
constexpr std::uint64_t kGsmFrame = 160;
// A chapter: each sample of a track a chapter reference names becomes one, with its title, and
// each is looked for among those before it.
constexpr std::uint64_t kChapterBytes = 2048;
constexpr std::size_t kMostChapterReferences = 4096;
// Walking more boxes than this takes longer than a header read may.
constexpr std::uint64_t kMaximumBoxes = 1u << 20;

struct Track {
    std::uint32_t id = 0;
    std::uint64_t samples = 0;       // as the sample size boxes count them
    std::uint64_t chunks = 0;        // as the chunk offset boxes count them
    std::uint64_t mostPerChunk = 0;  // samples in a chunk, at most
    bool offsets = false;            // composition offsets, one for each sample once indexed
    std::uint64_t edits = 0;         // edit list entries that play media
    std::uint32_t handler = 0;       // the last media handler: its kind of stream
    std::uint64_t samplesPerEntry = kSamplesPerSoundEntry; // of its index, were it sound
    bool sampleTimes = false;        // the last time-to-sample box: one entry of duration 1
    bool anySampleTimes = false;     // any such box
};

// What both walks share: the file read a page at a time and the cost tallied against the bound.
class CostWalk {
protected:
    CostWalk(const ByteSource& file, std::uint64_t bound) : in_(file), bound_(bound) {}

    void add(std::uint64_t bytes) { cost_ = plus(cost_, bytes); }
    bool over() const { return cost_ > bound_; }
    void refuse() { cost_ = kMost; }
    // The cost found, or past the bound when the walk stopped early or could not read on.
    std::uint64_t result() const { return over() || in_.failed() ? std::max(cost_, plus(bound_, 1)) : cost_; }

    PagedReader in_;
    std::uint64_t bound_;
    std::uint64_t cost_ = 0;
};

class IsoWalk : CostWalk {
public:
    IsoWalk(const ByteSource& file, std::uint64_t bound) : CostWalk(file, bound) {}

    std::uint64_t run()
    {
        walk(0, in_.size(), 0, nullptr);
        for (const std::uint32_t id : chapterTracks_) {
            const auto track = indexEntries_.find(id);
            if (track != indexEntries_.end())
                add(times(track->second, kChapterBytes));
        }
        const std::uint64_t streams = std::min(streams_, kMaximumStreams);
        add(times(streams, kStreamBytes));
        add(times(fragments_, plus(times(streams, kFragmentStreamBytes), kFragmentStreamBytes)));
        return result();
    }

private:
    std::uint64_t boxes_ = 0;
    std::uint64_t streams_ = 0;
    std::uint64_t fragments_ = 0;
    std::map<std::uint32_t, std::uint64_t> indexEntries_; // of each track, by its number
    std::vector<std::uint32_t> chapterTracks_;


    std::uint64_t count(std::uint64_t at, int bytes) { return in_.number(at, bytes); }

    // The boxes from `from` to `to` as FFmpeg reads them: a box larger than the room its parent
    // leaves is read to the parent's end, one smaller than its header ends the walk.
    void walk(std::uint64_t from, std::uint64_t to, std::uint32_t parent, Track* track)
    {
        for (std::uint64_t at = from; at < to && to - at >= 8 && !over();) {
            if (++boxes_ > kMaximumBoxes)
                return refuse();
            std::uint64_t size = count(at, 4);
            std::uint32_t type = std::uint32_t(count(at + 4, 4));
            std::uint64_t header = 8;
            if (size == 1) {
                if (to - at < 16)
                    return;
                size = count(at + 8, 8);
                header = 16;
            } else if (size == 0) {
                size = to - at;
            }
            if (size < header)
                return;
            size = std::min(size, to - at);
            box(type, at + header, at + size, parent, track);
            at += size;
        }
    }

    void box(std::uint32_t type, std::uint64_t body, std::uint64_t end, std::uint32_t parent, Track* track)
    {
        const bool top = parent == 0;
        // A movie header hidden in a 'free' or 'hoov' box is read as one.
        if (top && (type == fourCC("free") || type == fourCC("hoov"))) {
            const std::uint32_t first = std::uint32_t(count(body + 4, 4));
            if (end - body >= 8 && (first == fourCC("mvhd") || first == fourCC("cmov")))
                type = fourCC("moov");
        }
        if (top && (type == fourCC("ftyp") || type == fourCC("moov") || type == fourCC("moof")
                    || type == fourCC("sidx") || type == fourCC("meta")))
            add(end - body); // read into memory, or sized by what it holds
        switch (type) {
        case fourCC("trak"): {
            ++streams_;
            Track inner;
            walk(body, end, type, &inner);
            addTrack(inner);
            return;
        }
        case fourCC("moof"):
            ++fragments_;
            [[fallthrough]];
        case fourCC("moov"):
        case fourCC("mdia"):
        case fourCC("minf"):
        case fourCC("stbl"):
        case fourCC("edts"):
        case fourCC("dinf"):
        case fourCC("udta"):
        case fourCC("mvex"):
        case fourCC("traf"):
        case fourCC("tref"):
        case fourCC("sinf"):
        case fourCC("schi"):
            return walk(body, end, type, track);
        case fourCC("meta"):
            return meta(body, end, track);
        case fourCC("cmov"):
            return refuse(); // a compressed header hides the counts it declares
        case fourCC("keys"):
            return keys(body);
        case fourCC("sidx"): {
            // Version, reference, time scale, times of 32 or 64 bits, then the count of references.
            const std::uint64_t timeBytes = count(body, 1) == 0 ? 8 : 16;
            fragments_ = plus(fragments_, count(body + 12 + timeBytes + 2, 2));
            return;
        }
        case fourCC("trun"):
            return add(times(count(body + 4, 4), kFragmentSampleBytes));
        case fourCC("chap"):
            if (parent != fourCC("tref"))
                break;
            for (std::uint64_t at = body; at + 4 <= end; at += 4) {
                if (chapterTracks_.size() == kMostChapterReferences)
                    return refuse();
                chapterTracks_.push_back(std::uint32_t(count(at, 4)));
            }
            return;
        default:
            break;
        }
        // Outside a track FFmpeg gives a table to the last stream, after its index was built.
        Track loose;
        sampleTable(type, body, end, track ? *track : loose);
    }

    void sampleTable(std::uint32_t type, std::uint64_t body, std::uint64_t end, Track& track)
    {
        const std::uint64_t entries = count(body + 4, 4);
        switch (type) {
        case fourCC("tkhd"):
            track.id = std::uint32_t(count(body + (count(body, 1) == 1 ? 20 : 12), 4));
            return;
        case fourCC("hdlr"): {
            const std::uint32_t kind = std::uint32_t(count(body + 8, 4));
            if (kind == fourCC("vide") || kind == fourCC("soun") || kind == fourCC("subp") || kind == fourCC("clcp"))
                track.handler = kind;
            return;
        }
        case fourCC("stsd"):
            for (std::uint64_t i = 0, at = body + 8; i < std::min<std::uint64_t>(entries, 1024) && at + 26 <= end; ++i) {
                track.samplesPerEntry = std::min(track.samplesPerEntry, soundSamplesPerEntry(at));
                const std::uint64_t size = count(at, 4);
                if (size < 8)
                    break;
                at = plus(at, size);
            }
            return;
        case fourCC("stsz"):
        case fourCC("stz2"): {
            const std::uint64_t samples = count(body + 8, 4);
            track.samples = plus(track.samples, samples);
            if (type == fourCC("stz2") || count(body + 4, 4) == 0)
                add(times(samples, 8)); // the sizes, and the bytes they are read from
            return;
        }
        case fourCC("stco"):
        case fourCC("co64"):
            track.chunks = plus(track.chunks, entries);
            return add(times(entries, 8));
        case fourCC("stsc"):
            add(times(entries, 12));
            for (std::uint64_t i = 0, at = body + 8; i < entries && at + 12 <= end && !over(); ++i, at += 12)
                track.mostPerChunk = std::max(track.mostPerChunk, count(at + 4, 4));
            return;
        case fourCC("stts"): {
            const bool single = entries == 1 && count(body + 12, 4) == 1;
            track.sampleTimes = single;
            track.anySampleTimes = track.anySampleTimes || count(body + 12, 4) == 1;
            return add(times(entries, 8));
        }
        case fourCC("ctts"):
            track.offsets = true;
            return add(times(entries, 8));
        case fourCC("stss"):
        case fourCC("stps"):
            return add(times(entries, 4));
        case fourCC("sbgp"):
            // Version 1 has a parameter before the count.
            return add(times(count(body + (count(body, 1) == 1 ? 12 : 8), 4), 8));
        case fourCC("elst"):
            return editList(body, end, track);
        default:
            return;
        }
    }

    // FFmpeg counts an edit list's entries by its size when its count disagrees.
    void editList(std::uint64_t body, std::uint64_t end, Track& track)
    {
        const bool wide = count(body, 1) == 1;
        const std::uint64_t entrySize = wide ? 20 : 12;
        const std::uint64_t entries = end - body >= 8 ? (end - body - 8) / entrySize : 0;
        add(times(entries, 24));
        for (std::uint64_t i = 0, at = body + 8; i < entries && !over(); ++i, at += entrySize) {
            const std::uint64_t time = wide ? count(at + 8, 8) : count(at + 4, 4);
            if (time != (wide ? kMost : 0xffffffffu)) // -1: an empty edit, which plays nothing
                track.edits = plus(track.edits, 1);
        }
    }

    // The samples of an uncompressed sound chunk in each entry of the index, by the sample
    // description at `entry`: its version follows its size, format, reserved bytes and reference,
    // and versions 1 and 2 declare samples in a frame.
    std::uint64_t soundSamplesPerEntry(std::uint64_t entry)
    {
        const std::uint64_t version = count(entry + 16, 2);
        std::uint64_t frame = version == 1 ? count(entry + 36, 4) : version == 2 ? count(entry + 64, 4) : 0;
        if (count(entry + 4, 4) == fourCC("agsm"))
            frame = kGsmFrame;
        if (frame >= kGsmFrame)
            return std::min(frame, kSamplesPerSoundEntry);
        return frame > 1 ? 1024 / frame * frame : kSamplesPerSoundEntry;
    }

    void addTrack(const Track& track)
    {
        // Uncompressed sound whose one sample time is 1 is indexed by chunks, not by samples.
        const std::uint64_t perEntry = track.samplesPerEntry;
        const std::uint64_t soundEntries = times(track.chunks, (track.mostPerChunk + perEntry - 1) / perEntry);
        const bool surelySound = track.handler == fourCC("soun") && track.sampleTimes;
        const bool maybeSound = track.handler != fourCC("vide") && track.anySampleTimes;
        const std::uint64_t entries = surelySound ? soundEntries
            : maybeSound                          ? std::max(soundEntries, track.samples)
                                                  : track.samples;
        add(times(entries, kIndexEntryBytes));
        indexEntries_.emplace(track.id, entries);
        if (track.offsets)
            add(times(track.samples, kOffsetBytes));
        add(times(times(entries, track.edits), kEditedSampleBytes));
    }

    // FFmpeg reads a 'meta' box from the handler box it finds on a four-byte step, whatever
    // comes before it.
    void meta(std::uint64_t body, std::uint64_t end, Track* track)
    {
        for (std::uint64_t at = body; at + 8 <= end && !over(); at += 4) {
            if (count(at + 4, 4) == fourCC("hdlr"))
                return walk(at, end, fourCC("meta"), track);
        }
    }

    // Keys are read one after another from the count on, past the box's end, until one is too
    // short to be a key.
    void keys(std::uint64_t body)
    {
        const std::uint64_t keys = count(body + 4, 4);
        add(times(plus(keys, 1), 8));
        std::uint64_t at = body + 8;
        for (std::uint64_t i = 0; i < keys && at < in_.size() && !over(); ++i) {
            const std::uint64_t size = count(at, 4);
            if (size < 8)
                return;
            add(plus(size - 8, kKeyBytes));
            at = plus(at, size);
        }
    }
};

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

std::uint64_t isoMedia(const ByteSource& file, std::uint64_t bound)
{
    return IsoWalk(file, bound).run();
}

std::uint64_t matroska(const ByteSource& file, std::uint64_t bound)
{
    return MatroskaWalk(file, bound).run();
}

} // namespace app::headerReadCost
