#include "app/views/common/TrackpadMonitors.h"

#include <QCoreApplication>
#include <QInputDevice>
#include <QNativeGestureEvent>
#include <QPointingDevice>
#include <QWheelEvent>
#include <QWindow>

namespace app {

namespace {

bool isWindow(QObject* watched)
{
    return watched && watched->isWindowType();
}

GesturePhase phaseOf(Qt::ScrollPhase phase)
{
    switch (phase) {
    case Qt::ScrollBegin: return GesturePhase::began;
    case Qt::ScrollUpdate: return GesturePhase::changed;
    case Qt::ScrollEnd: return GesturePhase::ended;
    // Momentum scrolling has no gesture phase of its own.
    case Qt::ScrollMomentum:
    case Qt::NoScrollPhase: return GesturePhase::none;
    }
    return GesturePhase::none;
}

} // namespace

TrackpadSwipeMonitor::TrackpadSwipeMonitor(QObject* parent) : QObject(parent)
{
    idle_.setSingleShot(true);
    connect(&idle_, &QTimer::timeout, this, [this] {
        if (!open_)
            return;
        open_ = false;
        onEvent(GesturePhase::ended, 0, 0);
    });
}

TrackpadSwipeMonitor::~TrackpadSwipeMonitor()
{
    stop();
}

void TrackpadSwipeMonitor::start()
{
    stop();
    if (auto* app = QCoreApplication::instance()) {
        app->installEventFilter(this);
        started_ = true;
    }
}

void TrackpadSwipeMonitor::stop()
{
    if (started_) {
        if (auto* app = QCoreApplication::instance())
            app->removeEventFilter(this);
    }
    started_ = false;
    open_ = false;
    idle_.stop();
}

bool TrackpadSwipeMonitor::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() != QEvent::Wheel || !isWindow(watched))
        return false;
    const auto* wheel = static_cast<QWheelEvent*>(event);
    // Ctrl + scroll zooms where it lands; it is no swipe.
    if (wheel->modifiers() & Qt::ControlModifier)
        return false;
    const QPointingDevice* device = wheel->pointingDevice();
    const bool precise = !wheel->pixelDelta().isNull()
        || (device && device->type() == QInputDevice::DeviceType::TouchPad);
    // Qt's Wayland plugin ends a gesture with an empty event from a device that says it is a mouse.
    const bool ending = wheel->phase() == Qt::ScrollEnd && open_;
    if (!precise && !ending)
        return false;
    const QPointF delta = !wheel->pixelDelta().isNull() ? QPointF(wheel->pixelDelta())
                                                        : QPointF(wheel->angleDelta()) / 8.0 * angleFactor;
    GesturePhase phase = phaseOf(wheel->phase());
    switch (wheel->phase()) {
    case Qt::NoScrollPhase:
        // No phases from the device: make the gesture's beginning and end from its timing.
        phase = open_ ? GesturePhase::changed : GesturePhase::began;
        open_ = true;
        idle_.start(idleEndMs);
        break;
    case Qt::ScrollBegin:
    case Qt::ScrollUpdate:
        // An end that never comes (the pointer left the window, the end went elsewhere) must not
        // leave the gesture open; an update after such an end starts a new one.
        if (!open_ && phase == GesturePhase::changed)
            onEvent(GesturePhase::began, 0, 0);
        open_ = true;
        idle_.start(phasedIdleEndMs);
        break;
    case Qt::ScrollEnd:
        open_ = false;
        idle_.stop();
        break;
    case Qt::ScrollMomentum: break;
    }
    onEvent(phase, delta.x(), delta.y());
    return false;
}

TrackpadMagnifyMonitor::TrackpadMagnifyMonitor(QObject* parent) : QObject(parent) {}

TrackpadMagnifyMonitor::~TrackpadMagnifyMonitor()
{
    stop();
}

void TrackpadMagnifyMonitor::start()
{
    stop();
    if (auto* app = QCoreApplication::instance()) {
        app->installEventFilter(this);
        started_ = true;
    }
}

void TrackpadMagnifyMonitor::stop()
{
    if (started_) {
        if (auto* app = QCoreApplication::instance())
            app->removeEventFilter(this);
    }
    started_ = false;
}

bool TrackpadMagnifyMonitor::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() != QEvent::NativeGesture || !isWindow(watched))
        return false;
    const auto* gesture = static_cast<QNativeGestureEvent*>(event);
    switch (gesture->gestureType()) {
    case Qt::BeginNativeGesture: onEvent(GesturePhase::began, 0); break;
    case Qt::ZoomNativeGesture: onEvent(GesturePhase::changed, gesture->value()); break;
    case Qt::EndNativeGesture: onEvent(GesturePhase::ended, 0); break;
    default: break;
    }
    return false;
}

} // namespace app
