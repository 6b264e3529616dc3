#include "app/platform/QtImageDecoder.h"

#include <QBuffer>
#include <QImageReader>

namespace app {

QImage QtImageDecoder::decode(const MediaItem& item, int maxPixelSize)
{
    return decodeFile(item.url, maxPixelSize);
}

QImage QtImageDecoder::decodeFile(const QString& path, int maxPixelSize)
{
    return read(nullptr, path, maxPixelSize, true);
}

QImage QtImageDecoder::decodeData(const QByteArray& data, int maxPixelSize, bool applyOrientation)
{
    QBuffer buffer;
    buffer.setData(data);
    if (!buffer.open(QIODevice::ReadOnly))
        return {};
    return read(&buffer, {}, maxPixelSize, applyOrientation);
}

QImage QtImageDecoder::read(QIODevice* device, const QString& path, int maxPixelSize, bool applyOrientation)
{
    if (maxPixelSize <= 0)
        return {};
    QImageReader reader;
    if (device)
        reader.setDevice(device);
    else
        reader.setFileName(path);
    // Files on a drive are often misnamed; trust the bytes.
    reader.setDecideFormatFromContent(true);
    reader.setAutoTransform(applyOrientation);
    const QSize size = reader.size();
    if (!size.isValid() || size.isEmpty())
        return {};
    const QSize target = ImageScaling::fittedSize(size, maxPixelSize);
    if (target != size)
        reader.setScaledSize(target);
    QImage image = reader.read();
    if (image.isNull())
        return {};
    // Readers that cannot scale while decoding hand back a larger image.
    return ImageScaling::fitted(image, maxPixelSize);
}

} // namespace app
