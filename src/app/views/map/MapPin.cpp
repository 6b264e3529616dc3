#include "app/views/map/MapPin.h"

#include "app/views/common/ViewStyle.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

namespace app::MapPin {

namespace {
constexpr double cornerRadius = 8;
constexpr double borderWidth = 2;
constexpr double titleHalo = 2;
constexpr double titleGap = 4;
} // namespace

QRectF rect(const QPointF& centre, double size)
{
    return QRectF(centre.x() - size / 2, centre.y() - size / 2, size, size);
}

QImage picture(double size, const QImage& thumbnail, const QString& badge, const QPalette& palette,
               qreal devicePixelRatio)
{
    const double side = size + 2 * pictureMargin;
    QImage image(QSize(int(std::ceil(side * devicePixelRatio)), int(std::ceil(side * devicePixelRatio))),
                 QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(devicePixelRatio);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    paint(painter, QPointF(side / 2, side / 2), size, thumbnail, badge, palette);
    return image;
}

QString badgeText(qsizetype count)
{
    if (count < 2)
        return {};
    return count >= 100 ? QString("99+") : QString::number(count);
}

void paint(QPainter& painter, const QPointF& centre, double size, const QImage& thumbnail, const QString& badge,
           const QPalette& palette)
{
    const QRectF box = rect(centre, size);
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);

    // A soft shadow 2 points down: a few widening layers stand in for a blur of radius 4.
    for (int spread = 4; spread >= 1; --spread) {
        painter.setBrush(QColor(0, 0, 0, int(0.35 * 255 / 4)));
        const QRectF layer = box.translated(0, 2).adjusted(-spread + 1, -spread + 1, spread - 1, spread - 1);
        painter.drawRoundedRect(layer, cornerRadius + spread - 1, cornerRadius + spread - 1);
    }

    QPainterPath shape;
    shape.addRoundedRect(box, cornerRadius, cornerRadius);
    painter.setClipPath(shape);
    painter.fillRect(box, Qt::white);
    if (thumbnail.isNull()) {
        QColor fill = ViewStyle::secondaryColor(palette);
        fill.setAlphaF(fill.alphaF() * 0.25f);
        painter.fillRect(box, fill);
    } else {
        // Fill the square, keeping the aspect: crop the longer side.
        const QSizeF source = thumbnail.size();
        const double side = std::min(source.width(), source.height());
        const QRectF crop((source.width() - side) / 2, (source.height() - side) / 2, side, side);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawImage(box, thumbnail, crop);
    }
    painter.setClipping(false);
    painter.setPen(QPen(Qt::white, borderWidth));
    painter.setBrush(Qt::NoBrush);
    const double inset = borderWidth / 2;
    painter.drawRoundedRect(box.adjusted(inset, inset, -inset, -inset), cornerRadius - inset, cornerRadius - inset);

    if (!badge.isEmpty()) {
        QFont font = painter.font();
        font.setPixelSize(10);
        font.setBold(true);
        const QFontMetricsF metrics(font);
        const double width = std::max(metrics.horizontalAdvance(badge) + 10, metrics.height() + 4);
        const double height = metrics.height() + 4;
        const QRectF capsule(box.right() + 6 - width, box.top() - 6, width, height);
        painter.setPen(Qt::NoPen);
        painter.setBrush(ViewStyle::accentColor(palette));
        painter.drawRoundedRect(capsule, height / 2, height / 2);
        painter.setFont(font);
        painter.setPen(Qt::white);
        painter.drawText(capsule, Qt::AlignCenter, badge);
    }
    painter.restore();
}

QImage titlePicture(const QString& title, const QFont& base, qreal devicePixelRatio)
{
    if (title.isEmpty())
        return {};
    QFont font = base;
    font.setPixelSize(11);
    font.setWeight(QFont::DemiBold);
    const QFontMetricsF metrics(font);
    const QString shown = metrics.elidedText(title, Qt::ElideMiddle, maximumTitleWidth);
    const QSizeF size(metrics.horizontalAdvance(shown) + 2 * titleHalo + 2, metrics.height() + 2 * titleHalo);
    QImage image(QSize(int(std::ceil(size.width() * devicePixelRatio)), int(std::ceil(size.height() * devicePixelRatio))),
                 QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(devicePixelRatio);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath text;
    text.addText(QPointF(titleHalo + 1, titleHalo + metrics.ascent()), font, shown);
    // The halo keeps the name readable on any tile.
    painter.strokePath(text, QPen(QColor(255, 255, 255, 230), 2 * titleHalo, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.fillPath(text, QColor(0x1d, 0x1d, 0x1f));
    return image;
}

QRectF titleRect(const QPointF& centre, double size, const QImage& picture)
{
    const QSizeF shown = picture.deviceIndependentSize();
    return QRectF(centre.x() - shown.width() / 2, centre.y() + size / 2 + titleGap, shown.width(), shown.height());
}

void paintTitles(QPainter& painter, const QList<QRectF>& rects, const QList<QImage>& pictures,
                 const QList<QRectF>& pins)
{
    QList<QRectF> drawn;
    const auto covers = [](const QList<QRectF>& list, const QRectF& r) {
        return std::any_of(list.cbegin(), list.cend(), [&](const QRectF& d) { return d.intersects(r); });
    };
    for (qsizetype i = 0; i < rects.size() && i < pictures.size(); ++i) {
        const QRectF& r = rects[i];
        if (pictures[i].isNull() || covers(drawn, r) || covers(pins, r))
            continue;
        painter.drawImage(r.topLeft(), pictures[i]);
        drawn.append(r);
    }
}

} // namespace app::MapPin
