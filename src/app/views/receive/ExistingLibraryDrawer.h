#pragma once

#include <QAbstractButton>
#include <QStyledItemDelegate>

class QLabel;

namespace app {

// The existing-library drawer's header: chevron, title, space and count, all one plain button, so
// a press anywhere on the row opens or closes the drawer.
class DrawerHeaderButton : public QAbstractButton {
    Q_OBJECT
public:
    explicit DrawerHeaderButton(const QString& title, QWidget* parent = nullptr);
    // The chevron points right when closed and down when open.
    void setExpanded(bool expanded);
    QLabel* titleLabel() const { return title_; }
    QLabel* countLabel() const { return count_; }
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QLabel* chevron_;
    QLabel* title_;
    QLabel* count_;
};

// A row of the drawer's library list: the symbol, the library's name, and under it its folder in
// the caption font and secondary colour, cut at its head so the folder's own name stays visible.
class LibraryRowDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    // Where a row keeps the folder shown under the name.
    static constexpr int displayPathRole = Qt::UserRole + 1;

    using QStyledItemDelegate::QStyledItemDelegate;
    // The two lines as the row shows them in `option`'s rectangle.
    QStringList shownLines(const QStyleOptionViewItem& option, const QModelIndex& index) const;
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

private:
    struct Layout {
        QRect icon, name, path;
        QFont nameFont, pathFont;
    };
    Layout layoutOf(const QStyleOptionViewItem& option) const;
};

} // namespace app
