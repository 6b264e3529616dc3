#pragma once

#include <QFont>
#include <QImage>
#include <QList>
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

// A pin's title as the map shows it under the pin: dark semibold text in a white halo, cut in the
// middle past `maximumTitleWidth` points. Drawn once into a picture of its own, like the pin.
inline constexpr double maximumTitleWidth = 120;
QImage titlePicture(const QString& title, const QFont& base, qreal devicePixelRatio);
// Where a title picture goes: centred under the pin of `size` at `centre`, clear of its shadow.
QRectF titleRect(const QPointF& centre, double size, const QImage& picture);
// Draws the titles in the order given (the first matters most), leaving out each one that would
// cover a title already drawn or one of `pins` (the squares of the pins on the map), as crowded
// maps do. `rects` and `pictures` pair up.
void paintTitles(QPainter& painter, const QList<QRectF>& rects, const QList<QImage>& pictures,
                 const QList<QRectF>& pins = {});

} // namespace app::MapPin
