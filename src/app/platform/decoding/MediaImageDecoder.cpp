#include "app/platform/decoding/MediaImageDecoder.h"

#include "app/platform/decoding/HeifImageDecoder.h"
#include "app/platform/decoding/QtImageDecoder.h"
#include "app/platform/decoding/RawPreviewDecoder.h"
#include "app/platform/decoding/VideoFrameGrabber.h"

#include <QFileInfo>
#include <QSet>

#include <array>
#include <exception>

namespace app {

namespace {

enum class Road { qt, heif, raw };

Road roadFor(const QString& path)
{
    static const QSet<QString> heif{"heic", "heif"};
    const QString ext = MediaFormat::pathExtension(path);
    if (heif.contains(ext))
        return Road::heif;
    if (RawPreviewDecoder::fileExtensions().contains(ext))
        return Road::raw;
    return Road::qt;
}

QImage decodeBy(Road road, const QString& path, int maxPixelSize)
{
    switch (road) {
    case Road::qt: return QtImageDecoder::decodeFile(path, maxPixelSize);
    case Road::heif: return HeifImageDecoder::decodeFile(path, maxPixelSize);
    case Road::raw: return RawPreviewDecoder::decodeFile(path, maxPixelSize);
    }
    return {};
}

QImage forPainting(QImage image)
{
    if (image.isNull())
        return image;
    return image.convertToFormat(image.hasAlphaChannel() ? QImage::Format_ARGB32_Premultiplied
                                                         : QImage::Format_RGB32);
}

} // namespace

QImage MediaImageDecoder::decode(const MediaItem& item, int maxPixelSize)
{
    if (maxPixelSize <= 0)
        return {};
    // An empty file cannot hold a picture; spare the libraries the attempt.
    const QFileInfo info(item.url);
    if (!info.isFile() || info.size() <= 0)
        return {};
    try {
        if (item.kind == MediaKind::video)
            return forPainting(VideoFrameGrabber::decodeFile(item.url, maxPixelSize));
        const Road first = roadFor(item.url);
        QImage image = decodeBy(first, item.url, maxPixelSize);
        // A raw file that LibRaw cannot read is no better off in Qt's TIFF reader, which only
        // complains about the raw photometric interpretation on stderr.
        if (first != Road::raw) {
            for (Road other : std::array{Road::qt, Road::heif, Road::raw}) {
                if (!image.isNull())
                    break;
                if (other != first)
                    image = decodeBy(other, item.url, maxPixelSize);
            }
        }
        return forPainting(std::move(image));
    } catch (const std::exception&) {
        return {};
    }
}

std::unique_ptr<ImageDecoder> makeMediaImageDecoder()
{
    return std::make_unique<MediaImageDecoder>();
}

} // namespace app
