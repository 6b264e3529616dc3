#include "app/platform/decoding/ImageDecoder.h"

#include <QTransform>

#include <algorithm>
#include <cmath>

namespace app::ImageScaling {

QSize fittedSize(QSize source, int maxPixelSize)
{
    if (source.isEmpty() || maxPixelSize <= 0)
        return {};
    const int longSide = std::max(source.width(), source.height());
    if (longSide <= maxPixelSize)
        return source;
    const double factor = double(maxPixelSize) / double(longSide);
    const int w = std::clamp(int(std::lround(source.width() * factor)), 1, maxPixelSize);
    const int h = std::clamp(int(std::lround(source.height() * factor)), 1, maxPixelSize);
    return {w, h};
}

QImage fitted(const QImage& image, int maxPixelSize)
{
    if (image.isNull())
        return {};
    const QSize target = fittedSize(image.size(), maxPixelSize);
    if (target.isEmpty())
        return {};
    if (target == image.size())
        return image;
    return image.scaled(target, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

QImage applyExifOrientation(const QImage& image, int orientation)
{
    // Qt's rotate() turns clockwise on screen. 5 is a transpose, 7 a transverse.
    QTransform t;
    switch (orientation) {
    case 2: return image.mirrored(true, false);
    case 3: t.rotate(180); break;
    case 4: return image.mirrored(false, true);
    case 5: t.rotate(-90); return image.mirrored(true, false).transformed(t);
    case 6: t.rotate(90); break;
    case 7: t.rotate(90); return image.mirrored(true, false).transformed(t);
    case 8: t.rotate(-90); break;
    default: return image;
    }
    return image.transformed(t);
}

} // namespace app::ImageScaling
