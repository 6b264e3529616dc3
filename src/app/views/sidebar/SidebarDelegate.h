#pragma once

#include <QStyledItemDelegate>

namespace app {

// Paints a library row: its symbol, its name and, beneath, the path cut at its start (or "未连接"),
// all at the row's opacity. Kind rows keep the default look.
class SidebarDelegate final : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

    static QFont captionFont(const QFont& base);
};

} // namespace app
