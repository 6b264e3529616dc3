#pragma once

#include "app/platform/decoding/ImageDecoder.h"

namespace app {

// HEIC/HEIF. Uses the largest thumbnail item when it is at least the requested size (a few
// milliseconds instead of most of a second for a 12-megapixel primary image), otherwise decodes the
// primary image; either one stands as the file's irot/imir/clap properties show it. FFmpeg's HEVC
// decoder does the work where HeifBoxReader understands the file; libheif does the rest.
class HeifImageDecoder final : public ImageDecoder {
public:
    enum class Source { none, thumbnailItem, primaryImage };

    QImage decode(const MediaItem& item, int maxPixelSize) override;
    static QImage decodeFile(const QString& path, int maxPixelSize, Source* usedSource = nullptr);
    // Each road alone: FFmpeg's (null for a file it leaves to libheif; `unreadable` set when no
    // decoder may take it) and libheif's. Neither decodes a file whose coded pictures are not the
    // size it declares.
    static QImage decodeWithFfmpeg(const QString& path, int maxPixelSize, Source* usedSource = nullptr,
                                   bool* unreadable = nullptr);
    static QImage decodeWithLibheif(const QString& path, int maxPixelSize, Source* usedSource = nullptr);
    static bool codesMoreThanDeclared(const QString& path);
};

} // namespace app
