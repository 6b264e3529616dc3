#pragma once

#include "app/platform/metadata/MetadataFile.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace app {

// Where a TIFF-structured file (TIFF, DNG and the raws built on it) keeps its metadata: the header,
// every directory reached from it (next links, Exif, GPS, interoperability, sub-images) and the
// values stored outside them. Picture strips and tiles are not among them.
namespace TiffLayout {

struct Range {
    qint64 offset = 0;
    qint64 length = 0;
    friend bool operator==(const Range&, const Range&) = default;
};

enum class Status {
    notTiff,   // no TIFF byte-order mark
    ok,        // `ranges` lists the regions, sorted, merged, within the file
    readError, // a read failed or came back short inside the file: the drive is failing or the file shrank
};

struct Result {
    Status status = Status::notTiff;
    std::vector<Range> ranges;
};

// `size` is the file's size as known to the caller; hostile offsets beyond it are ignored.
Result read(const ByteSource& source, qint64 size);

// Hides, in an Exif block in memory, what a metadata read never looks at and a decoder would
// still take apart entry by entry: the thumbnail's directory after the first one, and the maker
// note (hundreds of entries on some cameras). The first directory, Exif and GPS stay as they are.
void hideThumbnailAndMakerNote(std::uint8_t* tiff, size_t size);

} // namespace TiffLayout
} // namespace app
