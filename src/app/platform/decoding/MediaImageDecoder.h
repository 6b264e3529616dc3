#pragma once

#include "app/platform/decoding/ImageDecoder.h"

namespace app {

// Chooses the decoder by kind and extension: videos go to the frame grabber only; a photo tries
// the decoder its extension names first and then the other photo decoders, since files on a
// drive are sometimes misnamed. Results come back in a format that paints fast.
class MediaImageDecoder final : public ImageDecoder {
public:
    QImage decode(const MediaItem& item, int maxPixelSize) override;
};

} // namespace app
