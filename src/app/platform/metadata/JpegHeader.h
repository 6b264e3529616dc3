#pragma once

#include "app/platform/metadata/MetadataFile.h"

#include <cstdint>
#include <vector>

namespace app {

// The start of a JPEG up to its start-of-scan marker: every segment a metadata reader looks at
// (Exif, XMP, ICC, IPTC, comments, the frame header with the size) and none of the picture.
// Segments are walked from the start, each read exactly, so a 2 MB camera photo costs the
// 20-64 KB of its header instead of a fixed prefix.
namespace JpegHeader {

enum class Result {
    notJpeg,   // no start-of-image marker
    complete,  // `out` holds the file from its start through the start-of-scan (or end-of-image) marker
    wholeFile, // the file ended first: `out` holds all of it
    unusual,   // a read error, a header longer than the limit, or markers a reader may take differently:
               // read the file itself instead
};

// Headers beyond this are left to a reader that seeks through the file.
constexpr qint64 maximumByteCount = 8 * 1024 * 1024;

// `out` is left empty unless the result is complete or wholeFile.
Result read(const ByteSource& source, std::vector<std::uint8_t>& out);

// What a metadata reader takes from a complete header: the first Exif block (the TIFF data after
// "Exif\0\0" in APP1) and the frame size of the first start-of-frame marker.
struct Parts {
    const std::uint8_t* exif = nullptr;
    size_t exifSize = 0;
    int width = 0;
    int height = 0;
};
Parts parts(const std::vector<std::uint8_t>& header);

} // namespace JpegHeader
} // namespace app
