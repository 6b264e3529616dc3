#pragma once

#include <QColor>
#include <QFont>
#include <QPalette>
#include <QString>

namespace app::ViewStyle {

// Secondary text and symbols: the text colour, toned down, so it follows light and dark palettes.
inline QColor secondaryColor(const QPalette& palette)
{
    QColor color = palette.color(QPalette::WindowText);
    color.setAlphaF(0.55f);
    return color;
}

// The accent colour (QPalette::Accent arrived only after Qt 6.4).
inline QColor accentColor(const QPalette& palette)
{
    return palette.color(QPalette::Highlight);
}

inline QFont scaledFont(QFont font, qreal factor, QFont::Weight weight = QFont::Normal)
{
    if (font.pointSizeF() > 0)
        font.setPointSizeF(font.pointSizeF() * factor);
    else
        font.setPixelSize(static_cast<int>(font.pixelSize() * factor));
    font.setWeight(weight);
    return font;
}

} // namespace app::ViewStyle
