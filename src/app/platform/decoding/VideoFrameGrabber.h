#pragma once

#include "app/platform/decoding/ImageDecoder.h"

namespace app {

// The first picture of a video through FFmpeg, turned by its display matrix. Only container
// formats of cameras and phones and only local files are opened: a ".mov" that holds a
// playlist must not make FFmpeg read other files or URLs.
class VideoFrameGrabber final : public ImageDecoder {
public:
    QImage decode(const MediaItem& item, int maxPixelSize) override;
    static QImage decodeFile(const QString& path, int maxPixelSize);
};

} // namespace app
