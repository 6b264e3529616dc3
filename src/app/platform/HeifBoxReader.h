#pragma once

#include "app/platform/MetadataFile.h"

#include <cstdint>
#include <string>

namespace app {

// What a photo scan needs from a HEIC/HEIF file, read from its boxes without reading the file whole:
// the primary image's size (as the decoder reports it: turned by a quarter-turn rotation) and the
// bytes of the Exif item that describes it. Every size and count from the file is bounded before
// use. Files it does not fully understand are reported as such, so that a full reader can take over.
class HeifBoxReader {
public:
    enum class Status {
        notHeif,     // no file-type box naming a still-image brand
        unsupported, // a HEIF file with a structure this reader leaves to the full decoder
        ok,
    };

    struct Result {
        Status status = Status::notHeif;
        std::uint32_t width = 0; // 0 when the primary image declares no size
        std::uint32_t height = 0;
        std::string exif; // the Exif item's data as stored (offset field first); empty when there is none
    };

    // Limits on what the file may ask of us.
    static constexpr qint64 maximumMetaBoxSize = 4 * 1024 * 1024;
    static constexpr qint64 maximumExifSize = 4 * 1024 * 1024;
    static constexpr int maximumTopLevelBoxes = 256;
    static constexpr int maximumItems = 65536;
    static constexpr int maximumProperties = 4096;
    static constexpr int maximumExtents = 256;

    static Result read(const ByteSource& source);
};

} // namespace app
