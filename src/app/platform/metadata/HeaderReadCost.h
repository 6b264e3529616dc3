#pragma once

#include <cstdint>

namespace app {

class ByteSource;

// What FFmpeg allocates while it opens a file and reads its header, estimated from above from the
// counts the file declares: its index of samples, its fragments, its streams and the boxes or
// elements it keeps. The walk stops once the estimate passes `bound` (or a read fails), and then
// returns more than `bound`. 0 for a file that is no such file.
namespace headerReadCost {

// MP4 and QuickTime: every box FFmpeg reads, fragments after the media data included, as it reads
// them all from a file it can seek in.
std::uint64_t isoMedia(const ByteSource& file, std::uint64_t bound);

// Matroska and WebM: the segment's elements other than clusters, and those its seek heads point to.
std::uint64_t matroska(const ByteSource& file, std::uint64_t bound);

} // namespace headerReadCost

} // namespace app
