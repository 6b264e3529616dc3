#pragma once

#include "app/platform/decoding/ImageDecoder.h"

#include <QSet>
#include <QString>

namespace app {

// Camera raw and DNG files through LibRaw (thread-safe build): the preview the camera embedded, turned by
// the file's flip value, when it has the pixels asked for; otherwise the raw data developed.
class RawPreviewDecoder final : public ImageDecoder {
public:
    QImage decode(const MediaItem& item, int maxPixelSize) override;
    static QImage decodeFile(const QString& path, int maxPixelSize);

    // Lower-case extensions of the camera raw formats this decoder is meant for.
    static const QSet<QString>& fileExtensions();
};

} // namespace app
