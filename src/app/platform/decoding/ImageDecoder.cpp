#include "app/platform/decoding/ImageDecoder.h"

#include <QTransform>

#include <algorithm>
#include <cmath>
#include <vector>

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

QSize orientedSize(QSize source, int orientation)
{
    return orientation >= 5 && orientation <= 8 ? source.transposed() : source;
}

void placeOrientedRows(const QImage& rows, int rowCount, int firstRow, QSize sourceSize, int orientation,
                       QImage& upright)
{
    const qsizetype w = sourceSize.width(), h = sourceSize.height();
    const qsizetype stride = upright.bytesPerLine() / 4;
    // Where source pixel (0, 0) lands, and how far one step right (dx) and one step down (dy) move.
    qsizetype origin = 0, dx = 1, dy = stride;
    switch (orientation) {
    case 2: origin = w - 1; dx = -1; break;
    case 3: origin = (h - 1) * stride + w - 1; dx = -1; dy = -stride; break;
    case 4: origin = (h - 1) * stride; dy = -stride; break;
    case 5: dx = stride; dy = 1; break;
    case 6: origin = h - 1; dx = stride; dy = -1; break;
    case 7: origin = (w - 1) * stride + h - 1; dx = -stride; dy = -1; break;
    case 8: origin = (w - 1) * stride; dx = -stride; dy = 1; break;
    default: break;
    }
    auto* out = reinterpret_cast<quint32*>(upright.bits()) + origin + firstRow * dy;
    const int count = rowCount;
    if (dx == 1 || dx == -1) {
        for (int r = 0; r < count; ++r) {
            const auto* in = reinterpret_cast<const quint32*>(rows.constScanLine(r));
            quint32* to = out + r * dy;
            for (qsizetype x = 0; x < w; ++x, to += dx)
                *to = in[x];
        }
        return;
    }
    // Turned a quarter: each source column becomes a run along one upright row.
    std::vector<const quint32*> in(static_cast<size_t>(count));
    for (int r = 0; r < count; ++r)
        in[size_t(r)] = reinterpret_cast<const quint32*>(rows.constScanLine(r));
    for (qsizetype x = 0; x < w; ++x) {
        quint32* to = out + x * dx;
        for (int r = 0; r < count; ++r)
            to[r * dy] = in[size_t(r)][x];
    }
}

} // namespace app::ImageScaling
