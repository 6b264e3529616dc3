#include "app/platform/decoding/QtImageDecoder.h"

#include "app/platform/decoding/JpegDecoder.h"

#include <QBuffer>
#include <QFile>
#include <QImageReader>

namespace app {

QImage QtImageDecoder::decode(const MediaItem& item, int maxPixelSize)
{
    return decodeFile(item.url, maxPixelSize);
}

QImage QtImageDecoder::decodeFile(const QString& path, int maxPixelSize)
{
    // libjpeg takes its fast Huffman path only with some kilobytes of input ahead of it. Qt feeds it
    // a file 4 KiB at a time but hands over an in-memory buffer whole, which decodes a camera JPEG
    // about a tenth faster. Files too large to hold are read from the file.
    constexpr qint64 kWholeFileLimit = 64 * 1024 * 1024;
    QFile file(path);
    if (file.open(QIODevice::ReadOnly) && file.size() > 0 && file.size() <= kWholeFileLimit) {
        const QByteArray data = file.readAll();
        if (data.size() == file.size())
            return decodeData(data, maxPixelSize, true);
    }
    return read(nullptr, path, maxPixelSize, true);
}

QImage QtImageDecoder::decodeData(const QByteArray& data, int maxPixelSize, bool applyOrientation)
{
    if (std::optional<QImage> jpeg = JpegDecoder::decode(data, maxPixelSize, applyOrientation))
        return *std::move(jpeg);
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
