#include "app/views/common/ViewerToolbarHost.h"

#include <QHBoxLayout>

namespace app {

ViewerToolbarHost::ViewerToolbarHost(QWidget* parent)
    : QWidget(parent), layout_(new QHBoxLayout(this)), trailing_(new QHBoxLayout)
{
    layout_->setContentsMargins(0, 0, 0, 0);
    layout_->setSpacing(8);
    trailing_->setSpacing(4);
    // Equal stretches on both sides keep the centre widget in the middle of the free space.
    layout_->addStretch(1);
    layout_->addStretch(1);
    layout_->addLayout(trailing_);
}

void ViewerToolbarHost::setCentreWidget(QWidget* widget)
{
    if (centre_ == widget)
        return;
    delete centre_.data();
    centre_ = widget;
    if (widget) {
        widget->setParent(this);
        layout_->insertWidget(1, widget, 0, Qt::AlignVCenter);
        widget->show();
    }
}

void ViewerToolbarHost::insertTrailingWidget(int position, QWidget* widget)
{
    if (!widget)
        return;
    trailingWidgets_.removeAll(nullptr);
    if (position < 0 || position > trailingWidgets_.size())
        position = int(trailingWidgets_.size());
    widget->setParent(this);
    trailing_->insertWidget(position, widget, 0, Qt::AlignVCenter);
    trailingWidgets_.insert(position, widget);
    widget->show();
}

int ViewerToolbarHost::trailingCount() const
{
    return int(trailingWidgets_.size() - trailingWidgets_.count(nullptr));
}

int ViewerToolbarHost::trailingIndexOf(const QWidget* widget) const
{
    int index = 0;
    for (const QPointer<QWidget>& w : trailingWidgets_) {
        if (!w)
            continue;
        if (w == widget)
            return index;
        ++index;
    }
    return -1;
}

QWidget* ViewerToolbarHost::trailingWidget(int position) const
{
    int index = 0;
    for (const QPointer<QWidget>& w : trailingWidgets_) {
        if (!w)
            continue;
        if (index++ == position)
            return w;
    }
    return nullptr;
}

void ViewerToolbarHost::clear()
{
    delete centre_.data();
    for (const QPointer<QWidget>& w : trailingWidgets_)
        delete w.data();
    trailingWidgets_.clear();
}

} // namespace app
