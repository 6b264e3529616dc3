#pragma once

#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QString>
#include <QStringList>

namespace app {

// The program's own symbols, bundled as single-colour SVGs and tinted when drawn. Never the icon
// theme: it is missing on many systems and on CI.
namespace SymbolIcon {

// Follows the palette: window text, greyed when disabled, highlighted text when selected.
QIcon icon(const QString& name);
// Drawn in `color`; disabled still greys it and a selected row still shows it in highlighted text.
QIcon icon(const QString& name, const QColor& color);
QPixmap pixmap(const QString& name, const QSize& size, const QColor& color, qreal devicePixelRatio = 1.0);
bool exists(const QString& name);
QStringList names();

} // namespace SymbolIcon

} // namespace app
