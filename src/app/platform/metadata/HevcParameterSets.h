#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

// The picture size an HEVC (or H.264) sequence parameter set codes, read before any decoder sees the stream,
// so that a file cannot make a decoder allocate more than it declares.
namespace app::hevc {

struct PictureSize {
    std::uint32_t width = 0; // after the conformance window: what a decoder outputs
    std::uint32_t height = 0;
    std::uint32_t codedWidth = 0; // what a decoder allocates
    std::uint32_t codedHeight = 0;
};

enum class Found {
    none,      // no parameter set there
    size,      // a parameter set and its size
    malformed, // a parameter set that cannot be read
};

// The size the sequence parameter sets of an HEVC decoder configuration record (an 'hvcC' body)
// code; `malformed` also when two of them code different sizes.
Found configSize(std::string_view record, PictureSize& size);
// The length of the size field before each NAL unit of the pictures the record configures.
int nalLengthSize(std::string_view record);
// The same for the sequence parameter sets among a picture's length-prefixed NAL units (H.264 ones
// with `h264`); units cut off at the end of `data` are not read.
Found streamSize(std::string_view data, int lengthSize, PictureSize& size, bool h264 = false);

// The same for the sequence parameter sets of an H.264 decoder configuration record (an 'avcC' body).
Found avcConfigSize(std::string_view record, PictureSize& size);
// The same for those in a byte stream of start-code-prefixed NAL units, H.264 or HEVC.
Found annexBSize(std::string_view data, bool h264, PictureSize& size);

// True when `size` shows exactly `width` x `height` or, with `turned`, that size transposed (files
// under a quarter turn whose declared size is the one shown), and codes no more than its alignment adds.
bool matches(const PictureSize& size, std::uint32_t width, std::uint32_t height, bool turned);

} // namespace app::hevc
