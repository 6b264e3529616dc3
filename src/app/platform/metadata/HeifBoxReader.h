#pragma once

#include "app/platform/metadata/MetadataFile.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

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
        unreadable, // a picture declared larger than a camera makes, or coded larger or smaller than
                    // it declares: no decoder may open it
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

    static constexpr int maximumTiles = 1024;
    static constexpr std::uint32_t maximumSide = 16384;
    // 256 MB of picture at 4 bytes a pixel, as Qt limits an image it reads; larger ones go to
    // libheif.
    static constexpr std::uint64_t maximumPixels = 64 * 1024 * 1024;
    static constexpr std::uint64_t maximumCodedSize = 64 * 1024 * 1024;
    // Thumbnails of one image looked at; further references are passed over.
    static constexpr int maximumThumbnails = 16;

    static Result read(const ByteSource& source);

    // How the primary image and its thumbnails are coded, for decoding them with our own HEVC
    // decoder. Anything this does not describe fully (alpha, other codecs, essential properties it
    // does not know, sizes over the limits) is `unsupported`, for the full decoder to take over. A
    // file with any HEVC item whose parameter set codes another size than it declares (or cannot be
    // read), or with any item declared larger than a camera makes, is `unreadable`, whichever
    // decoder would take it.
    struct CodedPicture {
        std::uint32_t width = 0; // as its parameter set codes it: the declared size or, turned, its transpose
        std::uint32_t height = 0;
        // The HEVC decoder configuration record (hvcC body), one copy for every tile that shares it.
        std::shared_ptr<const std::string> config;
        bool inItemData = false;
        std::vector<std::pair<std::uint64_t, std::uint64_t>> extents; // offset (base applied), length
    };
    struct Transform {
        enum class Kind { crop, rotate, mirror } kind = Kind::rotate;
        int quarterTurns = 0;       // rotate: counter-clockwise
        bool leftRight = false;     // mirror: about the vertical axis (else top to bottom)
        std::uint32_t left = 0, top = 0, width = 0, height = 0; // crop
    };
    struct Image {
        std::uint32_t width = 0; // as decoded and put together, before the transforms
        std::uint32_t height = 0;
        std::uint32_t shownWidth = 0; // after them
        std::uint32_t shownHeight = 0;
        int columns = 1; // a grid's tiles, row by row; a coded image is one tile
        std::vector<CodedPicture> tiles;
        std::vector<Transform> transforms; // in the order they apply
        bool declaresColour = false; // an nclx colour box: its matrix coefficients and range
        int matrix = 2;
        bool fullRange = false;
    };
    struct Images {
        Status status = Status::notHeif;
        Image primary;
        std::vector<Image> thumbnails;
        std::string itemData; // the meta box's own data, where small items may live
    };
    static Images readImages(const ByteSource& source);
    // A tile's coded bytes (length-prefixed NAL units); nothing when they cannot be read.
    static std::optional<std::string> pictureData(const ByteSource& source, const Images& images,
                                                  const CodedPicture& picture);
};

} // namespace app
