#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace app {

// Turns a HEIF/HEIC picture by editing the `irot` properties of its primary item and of that
// item's thumbnails, which is what decoders apply (they ignore the Exif orientation). An Exif
// Orientation tag inside the file is turned as well when the file has one. Pixel data is never
// touched; when the property box grows, `iloc` offsets that point past it move with it.
class HeifOrientationEditor {
public:
    // How an item is shown: `rotation` quarter turns counter-clockwise (`irot`), and whether an
    // `imir` mirror is applied before or after it.
    struct Transform {
        int rotation = 0;
        bool mirrored = false;
        bool mirrorFirst = false;
        friend bool operator==(const Transform&, const Transform&) = default;
    };

    static bool looksLikeHeif(std::string_view file);

    // The primary item and its thumbnail items with their transforms, by item ID. Throws
    // OrientationEditError for any structure the editor does not handle.
    static std::map<std::uint32_t, Transform> transforms(std::string_view file);

    // The transform that shows the same picture `quarterTurns` further clockwise.
    static Transform turned(Transform transform, int quarterTurns);

    // The file turned `quarterTurns` clockwise. Throws OrientationEditError, leaving `file` alone.
    static std::string rotated(std::string_view file, int quarterTurns);
};

} // namespace app
