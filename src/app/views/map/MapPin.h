#pragma once

#include <QImage>
#include <QPalette>
#include <QPointF>
#include <QRectF>
#include <QString>

class QPainter;

namespace app::MapPin {

// The square a pin of `size` points covers, centred on its coordinate's point.
QRectF rect(const QPointF& centre, double size);

// A thumbnail cropped to fill a rounded square (a placeholder fill while there is none), a white
// inner border, a soft shadow, and, when not empty, a count badge over the top-trailing corner.
void paint(QPainter& painter, const QPointF& centre, double size, const QImage& thumbnail, const QString& badge,
           const QPalette& palette);

// The same pin drawn once into a picture of its own at `devicePixelRatio`, centred, with `pictureMargin`
// points round the square for the shadow and the badge: maps with many pins paint these.
inline constexpr double pictureMargin = 8;
QImage picture(double size, const QImage& thumbnail, const QString& badge, const QPalette& palette,
               qreal devicePixelRatio);

// "" for one item, the count up to 99, then "99+".
QString badgeText(qsizetype count);

} // namespace app::MapPin
