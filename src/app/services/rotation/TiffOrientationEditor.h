#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace app {

// The Orientation tag (274) of IFD0 in a TIFF structure: a TIFF or DNG file, or the Exif block of
// a HEIF file. Only that tag changes: every other byte keeps its place, so files with several
// images keep all of them.
class TiffOrientationEditor {
public:
    static bool looksLikeTiff(std::string_view bytes);

    // The tag's value; nothing when IFD0 has no such tag. Throws OrientationEditError when the
    // structure cannot be read.
    static std::optional<int> orientation(std::string_view tiff);

    // Overwrites an existing tag's value where it stands. False when IFD0 has none.
    static bool patchExisting(char* tiff, std::size_t size, int value);

    // Patches the tag, or, when IFD0 has none, appends a copy of IFD0 with the tag to the end
    // of the file and points the header at it.
    static void setOrientation(std::string& file, int value);
};

} // namespace app
