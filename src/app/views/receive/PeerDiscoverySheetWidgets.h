#pragma once

#include <QColor>
#include <QFont>
#include <QString>

class QLabel;
class QVBoxLayout;
class QWidget;

// Small builders shared by the receive sheet's frame and its pages.
namespace app::sheetwidgets {

inline const QColor orange(0xF0, 0x8A, 0x24);
inline const QColor green(0x34, 0xA8, 0x53);

QLabel* makeLabel(const QString& text, QWidget* parent, qreal scale = 1.0, QFont::Weight weight = QFont::Normal);
void setTextColor(QLabel* label, const QColor& color);
QLabel* makeSymbol(const QString& name, int size, const QColor& color, QWidget* parent);
// A page whose content sits in the middle of the sheet's height; its labels span the width and
// centre their own text where the page is centred.
QVBoxLayout* centredColumn(QWidget* page, int spacing);

} // namespace app::sheetwidgets
