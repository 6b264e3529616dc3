#include "app/platform/metadata/HeaderReadCost.h"

#include "app/platform/metadata/HeaderCostWalk.h"

#include <map>
#include <vector>

namespace app::headerReadCost {

namespace {

using detail::CostWalk;
using detail::kMost;
using detail::kStreamBytes;
using detail::plus;
using detail::times;
using isobox::fourCC;

// What FFmpeg 5 keeps, as read from its demuxers and measured on files crafted to make it allocate.
// For each sample of a track's index: its entry, and its composition offset when the track has any.
constexpr std::uint64_t kIndexEntryBytes = 24;
constexpr std::uint64_t kOffsetBytes = 8;
// An edit that plays a track copies the entries and offsets of the samples it plays: any of them.
constexpr std::uint64_t kEditedSampleBytes = kIndexEntryBytes + kOffsetBytes;
// A fragment's sample: its index entry and its offset, zeroed as the fragment is read.
constexpr std::uint64_t kFragmentSampleBytes = kIndexEntryBytes + kOffsetBytes;
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
// Walking more boxes than this takes longer than a header read may, and so does sorting in more
// entries of a fragment index.
constexpr std::uint64_t kMaximumBoxes = 1u << 20;
constexpr std::uint64_t kMostIndexedFragments = 1u << 14;

// Encryption details FFmpeg keeps for each sample a box declares, read or not: a pointer to a copy
// of the track's defaults with its key and vector, four allocations aligned to 64 bytes (measured:
// 488 bytes a sample).
constexpr std::uint64_t kEncryptedSampleBytes = 512;
// A key identifier of a protection header: a pointer and an allocation of 16 bytes.
constexpr std::uint64_t kKeyIdentifierBytes = 48;
// A data reference as FFmpeg keeps it.
constexpr std::uint64_t kDataReferenceBytes = 120;
// FFmpeg reads boxes nested no deeper than this (the file's own level is the first); deeper ones
// fail the file.
constexpr int kDeepestLevel = 11;
// Where a sample entry's own boxes begin, after the fields FFmpeg reads for the kind of stream it
// takes the track for: an MPEG-4 subtitle, sound of description version 0, 1 or 2, a picture.
constexpr std::uint64_t kEntryFieldEnds[] = {16, 36, 52, 72, 86};
constexpr std::uint64_t kPictureFieldsEnd = 86;

struct Track {
    std::uint32_t id = 0;
    std::uint64_t samples = 0;       // as the sample size boxes count them
    std::uint64_t chunks = 0;        // as the chunk offset boxes count them
    std::uint64_t mostPerChunk = 0;  // samples in a chunk, at most
    bool offsets = false;            // composition offsets, one for each sample once indexed
    std::uint64_t offsetSamples = 0; // the samples the composition offset boxes count
    std::uint64_t edits = 0;         // edit list entries that play media
    std::uint32_t handler = 0;       // the last media handler: its kind of stream
    std::uint64_t samplesPerEntry = kSamplesPerSoundEntry; // of its index, were it sound
    bool sampleTimes = false;        // the last time-to-sample box: one entry of duration 1
    bool anySampleTimes = false;     // any such box
    bool described = false;          // a sample description was read: a second fails the file
    std::uint32_t format = 0;        // of the sample entry being read
    bool grouped = false;            // sample groups, by which FFmpeg lists open key samples
    std::uint64_t groupedSamples = 0; // the samples those groups count
};

class IsoWalk : CostWalk {
public:
    IsoWalk(const ByteSource& file, std::uint64_t bound) : CostWalk(file, bound) {}

    std::uint64_t run()
    {
        walk(0, in_.size(), 0, nullptr, 1);
        if (marked_)
            fragmentIndex();
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
    bool marked_ = false; // by a free box that has FFmpeg read the fragment index at the file's end

    std::uint64_t count(std::uint64_t at, int bytes) { return in_.number(at, bytes); }

    // The boxes from `from` to `to` as FFmpeg reads them, `level` deep: a box larger than the room
    // its parent leaves is read to the parent's end, one smaller than its header ends the walk.
    // Whatever the parent, a box FFmpeg knows is read as it is in its usual place, except that
    // tracks and media data are looked for only in the file and the movie.
    void walk(std::uint64_t from, std::uint64_t to, std::uint32_t parent, Track* track, int level)
    {
        if (level > kDeepestLevel)
            return refuse();
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
            // A movie header hidden in a 'free' or 'hoov' box is read as one.
            if ((type == fourCC("free") || type == fourCC("hoov")) && size - header >= 8) {
                const std::uint32_t first = std::uint32_t(count(at + header + 4, 4));
                if (first == fourCC("mvhd") || first == fourCC("cmov"))
                    type = fourCC("moov");
            }
            if (parent != 0 && parent != fourCC("moov") && (type == fourCC("trak") || type == fourCC("mdat")))
                return;
            box(type, at + header, at + size, parent, track, level);
            at += size;
        }
    }

    void box(std::uint32_t type, std::uint64_t body, std::uint64_t end, std::uint32_t parent, Track* track, int level)
    {
        const bool top = parent == 0;
        if (top && (type == fourCC("ftyp") || type == fourCC("moov") || type == fourCC("moof")
                    || type == fourCC("sidx") || type == fourCC("meta")))
            add(end - body); // read into memory, or sized by what it holds
        // Outside a track FFmpeg gives a table to the last stream, after its index was built.
        Track loose;
        Track& current = track ? *track : loose;
        switch (type) {
        case fourCC("trak"): {
            ++streams_;
            Track inner;
            walk(body, end, type, &inner, level + 1);
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
        case fourCC("ilst"):
        case fourCC("mvex"):
        case fourCC("traf"):
        case fourCC("tref"):
        case fourCC("sinf"):
        case fourCC("schi"):
            return walk(body, end, type, track, level + 1);
        case fourCC("wave"):
            // For Apple Lossless sound FFmpeg may begin eight bytes in, past what is not a format box.
            walk(body, end, type, track, level + 1);
            if (current.format == fourCC("alac"))
                walk(body + 8, end, type, track, level + 1);
            return;
        case fourCC("stsd"):
            return sampleDescriptions(body, end, current, level);
        case fourCC("meta"):
            return meta(body, end, track, level);
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
            for (std::uint64_t at = body; at + 4 <= end; at += 4) {
                if (chapterTracks_.size() == kMostChapterReferences)
                    return refuse();
                chapterTracks_.push_back(std::uint32_t(count(at, 4)));
            }
            return;
        case fourCC("free"):
            if (end - body >= 8 && count(body, 8) == 0x416e657669611a1aull) // "Anevia", 0x1a 0x1a
                marked_ = true;
            return;
        case fourCC("HMMT"): {
            // Chapter marks of user data, four bytes each.
            const std::uint64_t marks = count(body, 4);
            if ((parent == fourCC("udta") || parent == fourCC("ilst")) && marks <= (end - body) / 4)
                add(times(marks, kChapterBytes));
            return;
        }
        default:
            return sampleTable(type, body, end, current);
        }
    }

    // Each entry's own boxes are read after the fields of its kind, and an entry's size is not
    // held to the description's: FFmpeg reads on from where the entry says it ends.
    void sampleDescriptions(std::uint64_t body, std::uint64_t end, Track& track, int level)
    {
        const std::uint64_t entries = count(body + 4, 4);
        if (track.described || entries == 0 || entries > (end - body) / 8 || entries > 1024)
            return;
        track.described = true;
        for (std::uint64_t i = 0, at = body + 8; i < entries && at + 8 <= in_.size() && !over(); ++i) {
            const std::uint64_t size = count(at, 4);
            if (size < 8)
                return;
            track.format = std::uint32_t(count(at + 4, 4));
            track.samplesPerEntry = std::min(track.samplesPerEntry, soundSamplesPerEntry(at));
            const std::uint64_t entryEnd = std::min(at + size, in_.size());
            for (const std::uint64_t fields : kEntryFieldEnds)
                entryBoxes(at + fields, entryEnd, track, level);
            if (const std::uint64_t palette = paletteEnd(at); palette != kPictureFieldsEnd)
                entryBoxes(at + palette, entryEnd, track, level);
            at += size;
        }
    }

    void entryBoxes(std::uint64_t from, std::uint64_t to, Track& track, int level)
    {
        if (from < to && to - from > 8)
            walk(from, to, fourCC("stsd"), &track, level + 1);
    }

    // A picture entry of 1, 2, 4 or 8 bits whose colour table is its own carries the table after
    // its fields: a first and a last index, then eight bytes a colour.
    std::uint64_t paletteEnd(std::uint64_t entry)
    {
        const std::uint64_t depth = count(entry + 82, 2) & 0x1f;
        if ((depth != 1 && depth != 2 && depth != 4 && depth != 8) || count(entry + 84, 2) != 0)
            return kPictureFieldsEnd;
        const std::uint64_t first = count(entry + 86, 4);
        const std::uint64_t last = count(entry + 92, 2);
        const std::uint64_t colours = first <= 255 && last <= 255 && last >= first ? last - first + 1 : 0;
        return kPictureFieldsEnd + 8 + 8 * colours;
    }

    void sampleTable(std::uint32_t type, std::uint64_t body, std::uint64_t end, Track& track)
    {
        const std::uint64_t version = count(body, 1);
        const std::uint64_t entries = count(body + 4, 4);
        switch (type) {
        case fourCC("tkhd"):
            track.id = std::uint32_t(count(body + (version == 1 ? 20 : 12), 4));
            return;
        case fourCC("hdlr"): {
            const std::uint32_t kind = std::uint32_t(count(body + 8, 4));
            if (kind == fourCC("vide") || kind == fourCC("soun") || kind == fourCC("subp") || kind == fourCC("clcp"))
                track.handler = kind;
            return;
        }
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
            add(times(entries, 8));
            // Read on past the box's end, as FFmpeg does; counts that are negative are skipped.
            for (std::uint64_t i = 0, at = body + 8; i < entries && at + 8 <= in_.size() && !over(); ++i, at += 8) {
                const std::uint64_t samples = count(at, 4);
                if (samples < 0x80000000u)
                    track.offsetSamples = plus(track.offsetSamples, samples);
            }
            return;
        case fourCC("stss"):
        case fourCC("stps"):
            return add(times(entries, 4));
        case fourCC("sdtp"):
            return add(end - body);
        case fourCC("sbgp"): {
            // Version 1 has a parameter before the count.
            const std::uint64_t at = body + (version == 1 ? 12 : 8);
            const std::uint64_t groups = count(at, 4);
            track.grouped = true;
            add(times(groups, 8));
            for (std::uint64_t i = 0, entry = at + 4; i < groups && entry + 8 <= in_.size() && !over(); ++i, entry += 8)
                track.groupedSamples = plus(track.groupedSamples, count(entry, 4));
            return;
        }
        case fourCC("sgpd"):
            // The group of sync samples keeps a byte for each entry it declares.
            if (count(body + 4, 4) == fourCC("sync"))
                add(count(body + 8 + (version >= 1 ? 4 : 0) + (version >= 2 ? 4 : 0), 4));
            return;
        case fourCC("senc"):
            return add(times(entries, kEncryptedSampleBytes));
        case fourCC("saiz"): {
            // Optional type and parameter, a default size (0: a size for each sample), the count.
            const std::uint64_t at = body + 4 + ((count(body + 1, 3) & 1) ? 8 : 0);
            const std::uint64_t samples = count(at + 1, 4);
            add(times(samples, kEncryptedSampleBytes));
            if (count(at, 1) == 0)
                add(samples);
            return;
        }
        case fourCC("saio"):
            return add(times(count(body + 4 + ((count(body + 1, 3) & 1) ? 8 : 0), 4), 8));
        case fourCC("pssh"):
            // Version 1 lists key identifiers after the system's.
            if (version > 0)
                add(times(count(body + 20, 4), kKeyIdentifierBytes));
            return;
        case fourCC("dref"):
            if (entries <= (end - body + 11) / 12)
                add(times(entries, kDataReferenceBytes));
            return;
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
        // With sample groups, an offset for every sample the composition offsets count and a
        // number for every grouped sample, before the index is built.
        if (track.grouped)
            add(times(plus(track.offsetSamples, track.groupedSamples), 4));
    }

    // The fragment index at the file's end, found by the size its last four bytes give: each entry
    // of its track indexes is a fragment. One of size 0 FFmpeg reads again and again, and it puts
    // each entry in order among those before it, in time that grows with the square of their count.
    void fragmentIndex()
    {
        std::uint64_t indexed = 0;
        const std::uint64_t size = in_.size();
        const std::uint64_t length = size >= 4 ? count(size - 4, 4) : 0;
        if (length < 16 || length > size || count(size - length, 4) != length
            || count(size - length + 4, 4) != fourCC("mfra"))
            return;
        for (std::uint64_t at = size - length + 8; at + 24 <= size && count(at + 4, 4) == fourCC("tfra") && !over();) {
            const std::uint64_t box = count(at, 4);
            if (box == 0)
                return refuse();
            const std::uint64_t entries = count(at + 20, 4);
            indexed = plus(indexed, entries);
            if (indexed > kMostIndexedFragments)
                return refuse();
            fragments_ = plus(fragments_, entries);
            at += box;
        }
    }

    // FFmpeg reads a 'meta' box from the handler box it finds on a four-byte step, whatever
    // comes before it. Each step counts as a box: a sample entry's boxes may reach to the file's
    // end, and so may many searches.
    void meta(std::uint64_t body, std::uint64_t end, Track* track, int level)
    {
        for (std::uint64_t at = body; at + 8 <= end && !over(); at += 4) {
            if (++boxes_ > kMaximumBoxes)
                return refuse();
            if (count(at + 4, 4) == fourCC("hdlr"))
                return walk(at, end, fourCC("meta"), track, level + 1);
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

} // namespace

std::uint64_t isoMedia(const ByteSource& file, std::uint64_t bound)
{
    return IsoWalk(file, bound).run();
}

} // namespace app::headerReadCost
