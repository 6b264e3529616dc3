#include "app/views/sidebar/SidebarDelegate.h"

#include "app/views/sidebar/SidebarModel.h"
#include "app/views/common/SymbolIcon.h"
#include "app/views/common/ViewStyle.h"

#include <QApplication>
#include <QPainter>

namespace app {

namespace {
constexpr int iconSide = 20;
constexpr int verticalPadding = 2;
constexpr int lineSpacing = 1;
constexpr int gap = 8;
} // namespace

QFont SidebarDelegate::captionFont(const QFont& base)
{
    return ViewStyle::scaledFont(base, 0.85);
}

QSize SidebarDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    if (!index.data(SidebarModel::IsLibraryRole).toBool())
        return QStyledItemDelegate::sizeHint(option, index);
    const QFontMetrics name(option.font);
    const QFontMetrics caption(captionFont(option.font));
    const int height = name.height() + lineSpacing + caption.height() + 2 * verticalPadding + 6;
    return {option.rect.width() > 0 ? option.rect.width() : 200, height};
}

void SidebarDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    if (!index.data(SidebarModel::IsLibraryRole).toBool()) {
        QStyledItemDelegate::paint(painter, option, index);
        return;
    }
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    const QWidget* widget = option.widget;
    QStyle* style = widget ? widget->style() : QApplication::style();
    opt.text.clear();
    opt.icon = QIcon();
    style->drawPrimitive(QStyle::PE_PanelItemViewItem, &opt, painter, widget);

    const bool available = index.data(SidebarModel::AvailableRole).toBool();
    const bool selected = option.state & QStyle::State_Selected;
    const QPalette& palette = option.palette;
    const QColor text = palette.color(selected ? QPalette::HighlightedText : QPalette::Text);
    QColor secondary = text;
    secondary.setAlphaF(0.6f);
    const QColor iconColor = selected ? text : (available ? ViewStyle::accentColor(palette) : ViewStyle::secondaryColor(palette));

    painter->save();
    painter->setOpacity(index.data(SidebarModel::OpacityRole).toDouble());
    const QRect area = option.rect.adjusted(4, verticalPadding, -4, -verticalPadding);
    const QRect iconRect(area.left(), area.center().y() - iconSide / 2, iconSide, iconSide);
    const qreal dpr = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
    painter->drawPixmap(iconRect, SymbolIcon::pixmap(index.data(SidebarModel::SymbolRole).toString(),
                                                     iconRect.size(), iconColor, dpr));

    const int textLeft = iconRect.right() + 1 + gap;
    const int textWidth = std::max(0, area.right() - textLeft);
    const QFontMetrics nameMetrics(option.font);
    const QFont caption = captionFont(option.font);
    const QFontMetrics captionMetrics(caption);
    const int block = nameMetrics.height() + lineSpacing + captionMetrics.height();
    const int top = area.center().y() - block / 2;

    painter->setFont(option.font);
    painter->setPen(text);
    painter->drawText(QRect(textLeft, top, textWidth, nameMetrics.height()), Qt::AlignLeft | Qt::AlignVCenter,
                      nameMetrics.elidedText(index.data(Qt::DisplayRole).toString(), Qt::ElideRight, textWidth));
    // The head of a long path goes: the folder's own name at the end stays readable.
    painter->setFont(caption);
    painter->setPen(secondary);
    // Not clipped to its line: at this size an underscore hangs below the line's rectangle.
    painter->drawText(QRect(textLeft, top + nameMetrics.height() + lineSpacing, textWidth, captionMetrics.height()),
                      Qt::AlignLeft | Qt::AlignVCenter | Qt::TextDontClip,
                      captionMetrics.elidedText(index.data(SidebarModel::CaptionRole).toString(), Qt::ElideLeft, textWidth));
    painter->restore();
}

} // namespace app
