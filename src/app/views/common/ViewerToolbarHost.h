#pragma once

#include <QList>
#include <QPointer>
#include <QWidget>

class QHBoxLayout;

namespace app {

// The toolbar place a page gives the open viewer: one widget centred in the bar and a row of
// trailing widgets at its end.
//
//   host->setCentreWidget(slider);                      // replaces (and deletes) the previous one
//   host->addTrailingWidget(infoIcon);                  // appended at the end
//   host->insertTrailingWidget(host->trailingIndexOf(infoIcon), rotateButton);  // before the icon
//
// The host takes ownership of every widget handed to it. Everything in it belongs to the viewer
// that is open: clear() deletes it all, and the page calls it when the viewer goes away.
class ViewerToolbarHost : public QWidget {
    Q_OBJECT
public:
    explicit ViewerToolbarHost(QWidget* parent = nullptr);

    void setCentreWidget(QWidget* widget);
    QWidget* centreWidget() const { return centre_; }

    // Inserts at `position` among the trailing widgets (0 is the first); a position outside
    // 0 … trailingCount() appends.
    void insertTrailingWidget(int position, QWidget* widget);
    void addTrailingWidget(QWidget* widget) { insertTrailingWidget(-1, widget); }
    int trailingCount() const;
    // -1 when the widget is not among the trailing ones.
    int trailingIndexOf(const QWidget* widget) const;
    QWidget* trailingWidget(int position) const;

    void clear();

private:
    QHBoxLayout* layout_;
    QHBoxLayout* trailing_;
    QPointer<QWidget> centre_;
    QList<QPointer<QWidget>> trailingWidgets_;
};

} // namespace app
