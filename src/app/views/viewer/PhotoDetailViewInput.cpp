#include "app/views/viewer/PhotoDetailView.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QWheelEvent>

// The viewer's keys, mouse and wheel: each goes to the gesture state and the view follows it.
namespace app {

void PhotoDetailView::keyPressEvent(QKeyEvent* event)
{
    switch (event->key()) {
    case Qt::Key_Escape: requestClose(); break;
    case Qt::Key_Left: state_.handleMove(-1); break;
    case Qt::Key_Right: state_.handleMove(1); break;
    case Qt::Key_Up:
    case Qt::Key_Down: break;
    default:
        if (!handleZoomKey(event))
            return QWidget::keyPressEvent(event);
        break;
    }
    event->accept();
    afterStateChange();
}

void PhotoDetailView::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton)
        return QWidget::mousePressEvent(event);
    dragFrom_ = event->position();
    state_.handleDrag(GesturePhase::began, 0, 0);
    event->accept();
}

void PhotoDetailView::mouseMoveEvent(QMouseEvent* event)
{
    if (!dragFrom_ || !(event->buttons() & Qt::LeftButton))
        return QWidget::mouseMoveEvent(event);
    const QPointF delta = event->position() - *dragFrom_;
    dragFrom_ = event->position();
    state_.handleDrag(GesturePhase::changed, delta.x(), delta.y());
    afterStateChange();
}

void PhotoDetailView::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton || !dragFrom_)
        return QWidget::mouseReleaseEvent(event);
    dragFrom_.reset();
    state_.handleDrag(GesturePhase::ended, 0, 0);
    afterStateChange();
}

bool PhotoDetailView::handleZoomKey(QKeyEvent* event)
{
    // Shift makes "+" on most layouts, the keypad has its own: neither changes what the key means.
    const Qt::KeyboardModifiers modifiers = event->modifiers() & ~(Qt::ShiftModifier | Qt::KeypadModifier);
    const bool plain = modifiers == Qt::NoModifier;
    const bool ctrl = modifiers == Qt::ControlModifier;
    switch (event->key()) {
    case Qt::Key_Plus:
        if (!plain && !ctrl)
            return false;
        state_.stepZoom(1);
        return true;
    case Qt::Key_Equal:
        if (!ctrl)
            return false;
        state_.stepZoom(1);
        return true;
    case Qt::Key_Minus:
        if (!plain && !ctrl)
            return false;
        state_.stepZoom(-1);
        return true;
    case Qt::Key_0:
        if (!plain)
            return false;
        state_.zoomToFit();
        return true;
    default: return false;
    }
}

void PhotoDetailView::wheelEvent(QWheelEvent* event)
{
    // A plain wheel is not the viewer's: it goes on as before.
    if (!(event->modifiers() & Qt::ControlModifier) || coveredBySheet_)
        return QWidget::wheelEvent(event);
    // One notch of a mouse wheel is 120; a touchpad without angles gives pixels.
    const double notches = !event->angleDelta().isNull() ? event->angleDelta().y() / 120.0
                                                         : event->pixelDelta().y() / 120.0;
    state_.handleWheelZoom(notches, event->position() - contentRect().center());
    event->accept();
    afterStateChange();
}

} // namespace app
