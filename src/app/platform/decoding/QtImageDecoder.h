#pragma once

#include "app/platform/decoding/ImageDecoder.h"

#include <QByteArray>
#include <QString>

class QIODevice;

namespace app {

// JPEG, PNG, WebP, TIFF, GIF, BMP through Qt's readers; JPEG through libjpeg-turbo directly first,
// which scales while decoding.
class QtImageDecoder final : public ImageDecoder {
public:
    QImage decode(const MediaItem& item, int maxPixelSize) override;

    static QImage decodeFile(const QString& path, int maxPixelSize);
    // `applyOrientation` false leaves Exif orientation alone (raw previews carry theirs elsewhere).
    static QImage decodeData(const QByteArray& data, int maxPixelSize, bool applyOrientation);

private:
    static QImage read(QIODevice* device, const QString& path, int maxPixelSize, bool applyOrientation);
};

} // namespace app
