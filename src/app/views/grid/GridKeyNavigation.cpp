#include "app/views/grid/GridKeyNavigation.h"

#include "app/views/grid/PhotoGridView.h"

#include <QKeyEvent>
#include <QScrollBar>

#include <cmath>

namespace app {

namespace {

// The cell of the next row in `step` direction whose centre is nearest the current one's.
std::optional<int> rowNeighbour(const GridLayoutEngine& engine, int current, int step)
{
    const QRectF from = engine.cellRect(current);
    std::optional<int> best;
    double rowTop = 0, bestDistance = 0;
    for (int i = current + step; i >= 0 && i < engine.itemCount(); i += step) {
        const QRectF r = engine.cellRect(i);
        if (std::abs(r.top() - from.top()) < 0.5)
            continue;
        if (!best)
            rowTop = r.top();
        else if (std::abs(r.top() - rowTop) >= 0.5)
            break;
        const double distance = std::abs(r.center().x() - from.center().x());
        if (!best || distance < bestDistance) {
            best = i;
            bestDistance = distance;
        }
    }
    return best;
}

} // namespace

std::optional<int> gridKeyTarget(const GridLayoutEngine& engine, std::optional<int> current, int key)
{
    const int count = engine.itemCount();
    if (count < 1)
        return std::nullopt;
    const bool known = current && *current >= 0 && *current < count;
    switch (key) {
    case Qt::Key_Home: return 0;
    case Qt::Key_End: return count - 1;
    case Qt::Key_Left: return known ? std::max(*current - 1, 0) : 0;
    case Qt::Key_Right: return known ? std::min(*current + 1, count - 1) : 0;
    case Qt::Key_Up:
        if (!known)
            return 0;
        return rowNeighbour(engine, *current, -1).value_or(*current);
    case Qt::Key_Down:
        if (!known)
            return 0;
        return rowNeighbour(engine, *current, 1).value_or(*current);
    default: return std::nullopt;
    }
}

void PhotoGridView::keyPressEvent(QKeyEvent* event)
{
    const std::optional<int> current =
        selection_ ? std::optional<int>(thumbs_->indexOf(*selection_)) : std::nullopt;
    const bool plain = !(event->modifiers() & ~Qt::KeypadModifier);
    // Return and Enter open the selected item, as a double click does.
    if (plain && (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && current && *current >= 0) {
        Q_EMIT openItem(items_[*current]);
        event->accept();
        return;
    }
    const std::optional<int> target = plain ? gridKeyTarget(engine_, current, event->key()) : std::nullopt;
    if (!target) {
        QAbstractScrollArea::keyPressEvent(event);
        return;
    }
    setSelection(items_[*target].url);
    // Only as far as needed to bring the cell on screen, with its day's title when both fit.
    const QRectF cell = engine_.cellRect(*target);
    double wantedTop = cell.top();
    const double height = viewport()->height();
    if (engine_.hasHeaders()) {
        const double titleTop = engine_.sectionTop(engine_.sectionOfItem(*target)) - spacing_;
        if (cell.bottom() - titleTop <= height)
            wantedTop = titleTop;
    }
    const double top = scrollY();
    if (wantedTop < top)
        animateScrollTo(int(std::floor(wantedTop)));
    else if (cell.bottom() > top + height)
        animateScrollTo(int(std::ceil(cell.bottom() - height)));
    event->accept();
}

} // namespace app
