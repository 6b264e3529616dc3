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

// "" for one item, the count up to 99, then "99+".
QString badgeText(qsizetype count);

} // namespace app::MapPin
