#include "app/platform/decoding/QtImageDecoder.h"

#include "app/platform/decoding/JpegDecoder.h"

#include <QBuffer>
#include <QFile>
#include <QImageReader>

namespace app {

namespace {

bool hasColourTable(QImage::Format format)
{
    return format == QImage::Format_Mono || format == QImage::Format_MonoLSB || format == QImage::Format_Indexed8;
}

// A picture read whole with its colour table, in 32-bit colour for smooth scaling. A large one is first
// sampled (which keeps the table) down to twice the size asked for, so the copy stays small.
QImage trueColour(QImage image, int maxPixelSize)
{
    const QSize sampled = ImageScaling::fittedSize(image.size(), maxPixelSize * 2);
    if (sampled != image.size())
        image = image.scaled(sampled, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    return image.convertToFormat(image.hasAlphaChannel() ? QImage::Format_ARGB32_Premultiplied
                                                         : QImage::Format_RGB32);
}

} // namespace

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
    // Readers scale a palette picture after decoding it, as a palette picture, and Qt's smooth scaling
    // of a 1-bit one loses its colours at some sizes (a portrait screenshot turns to black-and-white
    // noise). Such pictures are read whole, which costs a byte a pixel at most, and scaled here.
    const bool palette = hasColourTable(reader.imageFormat());
    if (target != size && !palette)
        reader.setScaledSize(target);
    QImage image = reader.read();
    if (image.isNull())
        return {};
    if (palette || image.colorCount() > 0)
        image = trueColour(std::move(image), maxPixelSize);
    // Readers that cannot scale while decoding hand back a larger image.
    return ImageScaling::fitted(image, maxPixelSize);
}

} // namespace app
