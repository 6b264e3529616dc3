#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>

// HEIC files written byte by byte around a tiny real HEVC picture (64x48, encoded by ffmpeg once per
// process), whose parameter set can be made to code another size than the file declares: the
// hostile files a photo library may hold, kept out of the fixtures. Clips are made the same way.
namespace test::craftedheif {

struct Shape {
    int columns = 1; // 1 x 1: the primary is the coded picture itself; otherwise a grid of tiles
    int rows = 1;
    std::uint32_t declaredWidth = 64; // each tile's declared size ('ispe')
    std::uint32_t declaredHeight = 48;
    std::uint32_t codedWidth = 64; // what its parameter set codes
    std::uint32_t codedHeight = 48;
    std::uint32_t pictureWidth = 64; // the size the picture's data was encoded at, shared by every tile
    std::uint32_t pictureHeight = 48;
    std::uint32_t ownCodedWidth = 0; // a parameter set of this size in the picture's own data; 0: none
    std::uint32_t ownCodedHeight = 0;
    int quarterTurns = 0;            // an 'irot' on the primary
    std::size_t configPadding = 0;   // filler added to the one configuration record every tile shares
    int thumbnailReferences = 0;     // 'thmb' references to the primary, all from one thumbnail grid
    // How 'iloc' places the items: each once; the primary a second time; or with fields of no width,
    // each item in three extents that take no bytes.
    enum class Locations { plain, primaryTwice, zeroWidthExtents } locations = Locations::plain;
};

// A grid of columns x rows tiles, each declared one size and coded another.
inline Shape grid(int columns, int rows, std::uint32_t declaredWidth, std::uint32_t declaredHeight,
                  std::uint32_t codedWidth, std::uint32_t codedHeight)
{
    Shape s;
    s.columns = columns;
    s.rows = rows;
    s.declaredWidth = declaredWidth;
    s.declaredHeight = declaredHeight;
    s.codedWidth = codedWidth;
    s.codedHeight = codedHeight;
    return s;
}

// Empty when ffmpeg could not encode the picture.
QByteArray build(const Shape& shape);

// An MP4 of 320x240 HEVC pictures whose parameter sets code `codedWidth` x `codedHeight`, cropped
// to `shownWidth` x `shownHeight` when those are given; with `later`, only those repeated at the
// key pictures after the first (half a second in). False when ffmpeg could not make it.
bool hevcClip(const QString& path, std::uint32_t codedWidth, std::uint32_t codedHeight, std::uint32_t shownWidth = 0,
              std::uint32_t shownHeight = 0, bool later = false);

} // namespace test::craftedheif
