#include "app/views/receive/ExistingLibraryDrawer.h"

#include "app/views/common/SymbolIcon.h"
#include "app/views/common/ViewStyle.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QStyle>
#include <QStylePainter>

#include <algorithm>

namespace app {

namespace {
constexpr int rowPadding = 6;
constexpr int iconSide = 20;
constexpr int iconGap = 10;

// A line as tall as what it draws: at the caption's size an underscore's ink lies below the
// font's descent, and a box one font height tall cut it off ("my_photos" read "my photos").
int inkHeight(const QFontMetrics& metrics)
{
    return std::max(metrics.height(), metrics.ascent() + metrics.boundingRect(QStringLiteral("_gjpqy")).bottom() + 1);
}
} // namespace

DrawerHeaderButton::DrawerHeaderButton(const QString& title, QWidget* parent)
    : QAbstractButton(parent), chevron_(new QLabel(this)), title_(new QLabel(title, this)), count_(new QLabel(this))
{
    setFocusPolicy(Qt::TabFocus);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(16, 12, 16, 12);
    row->setSpacing(8);
    title_->setFont(ViewStyle::scaledFont(title_->font(), 1.0, QFont::DemiBold));
    count_->setFont(ViewStyle::scaledFont(count_->font(), 0.85));
    QPalette secondary = count_->palette();
    secondary.setColor(QPalette::WindowText, ViewStyle::secondaryColor(secondary));
    count_->setPalette(secondary);
    // The labels only show; every press lands on the button.
    for (QLabel* label : {chevron_, title_, count_})
        label->setAttribute(Qt::WA_TransparentForMouseEvents);
    row->addWidget(chevron_);
    row->addWidget(title_);
    row->addStretch();
    row->addWidget(count_);
    setExpanded(false);
}

void DrawerHeaderButton::setExpanded(bool expanded)
{
    QPixmap chevron =
        SymbolIcon::pixmap("chevron.right", QSize(12, 12), ViewStyle::secondaryColor(palette()), devicePixelRatioF());
    if (expanded)
        chevron = chevron.transformed(QTransform().rotate(90));
    chevron_->setPixmap(chevron);
}

QSize DrawerHeaderButton::sizeHint() const
{
    return layout() ? layout()->sizeHint() : QAbstractButton::sizeHint();
}

void DrawerHeaderButton::paintEvent(QPaintEvent*)
{
    // A plain button: no frame, only the keyboard focus when it has it.
    if (!hasFocus())
        return;
    QStylePainter painter(this);
    QStyleOptionFocusRect focus;
    focus.initFrom(this);
    painter.drawPrimitive(QStyle::PE_FrameFocusRect, focus);
}

LibraryRowDelegate::Layout LibraryRowDelegate::layoutOf(const QStyleOptionViewItem& option) const
{
    Layout l;
    l.nameFont = option.font;
    l.pathFont = ViewStyle::scaledFont(option.font, 0.85);
    const QRect r = option.rect.adjusted(rowPadding, rowPadding, -rowPadding, -rowPadding);
    const int nameHeight = inkHeight(QFontMetrics(l.nameFont));
    const int pathHeight = inkHeight(QFontMetrics(l.pathFont));
    const int textLeft = r.left() + iconSide + iconGap;
    l.icon = QRect(r.left(), r.top() + (r.height() - iconSide) / 2, iconSide, iconSide);
    l.name = QRect(textLeft, r.top(), std::max(r.right() - textLeft + 1, 0), nameHeight);
    l.path = QRect(textLeft, l.name.bottom() + 2, l.name.width(), pathHeight);
    return l;
}

QStringList LibraryRowDelegate::shownLines(const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    const Layout l = layoutOf(option);
    const QString name = index.data(Qt::DisplayRole).toString();
    const QString path = index.data(displayPathRole).toString();
    return {QFontMetrics(l.nameFont).elidedText(name, Qt::ElideRight, l.name.width()),
            QFontMetrics(l.pathFont).elidedText(path, Qt::ElideLeft, l.path.width())};
}

void LibraryRowDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    const QWidget* widget = option.widget;
    QStyle* style = widget ? widget->style() : QApplication::style();
    // The selection and hover background as the style draws it, without its own text and icon.
    opt.text.clear();
    opt.icon = QIcon();
    style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, widget);

    const Layout l = layoutOf(option);
    const QStringList lines = shownLines(option, index);
    const bool selected = option.state & QStyle::State_Selected;
    const QPalette& palette = option.palette;
    const QColor text = palette.color(selected ? QPalette::HighlightedText : QPalette::Text);
    QColor secondary = text;
    secondary.setAlphaF(0.55f);
    painter->save();
    const QIcon icon = index.data(Qt::DecorationRole).value<QIcon>();
    if (!selected) {
        icon.paint(painter, l.icon);
    } else {
        // The accent-coloured symbol would vanish into the selection: it takes the selected text's colour.
        QPixmap tinted = icon.pixmap(l.icon.size(), painter->device()->devicePixelRatioF());
        QPainter tint(&tinted);
        tint.setCompositionMode(QPainter::CompositionMode_SourceIn);
        tint.fillRect(tinted.rect(), text);
        tint.end();
        painter->drawPixmap(l.icon, tinted);
    }
    painter->setFont(l.nameFont);
    painter->setPen(text);
    painter->drawText(l.name, Qt::AlignLeft | Qt::AlignTop, lines[0]);
    painter->setFont(l.pathFont);
    painter->setPen(secondary);
    painter->drawText(l.path, Qt::AlignLeft | Qt::AlignTop, lines[1]);
    painter->restore();
}

QSize LibraryRowDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const
{
    const Layout l = layoutOf(option);
    return {iconSide + iconGap + 2 * rowPadding + 100, 2 * rowPadding + l.name.height() + 2 + l.path.height()};
}

} // namespace app
