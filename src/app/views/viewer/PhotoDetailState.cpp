#include "app/views/viewer/PhotoDetailState.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace app {

namespace {
// The interactive spring of the swipe ends and of the pinch end.
constexpr double swipeResponse = 0.35, swipeDamping = 0.82;
constexpr double pinchResponse = 0.3, pinchDamping = 0.85;
} // namespace

void PhotoDetailState::Motion::set(double v)
{
    value = v;
    kind = Kind::none;
    velocity = 0;
}

void PhotoDetailState::Motion::ease(double target, double now, double seconds, QEasingCurve::Type type)
{
    kind = Kind::tween;
    from = value;
    to = target;
    start = now;
    duration = seconds;
    curve = QEasingCurve(type);
}

void PhotoDetailState::Motion::spring(double target, double now, double response, double dampingFraction)
{
    if (kind != Kind::spring)
        velocity = 0;
    kind = Kind::spring;
    to = target;
    last = now;
    stiffness = std::pow(2 * std::numbers::pi / response, 2);
    damping = 4 * std::numbers::pi * dampingFraction / response;
}

void PhotoDetailState::Motion::advance(double now)
{
    if (kind == Kind::tween) {
        const double t = duration > 0 ? std::clamp((now - start) / duration, 0.0, 1.0) : 1.0;
        value = from + (to - from) * curve.valueForProgress(t);
        if (t >= 1.0)
            set(to);
    } else if (kind == Kind::spring) {
        const double dt = std::max(0.0, now - last);
        last = now;
        // Semi-implicit Euler in small sub-steps stays stable at these stiffnesses.
        const int n = std::max(1, int(std::ceil(dt / 0.004)));
        const double h = dt / n;
        for (int i = 0; i < n; ++i) {
            velocity += (-stiffness * (value - to) - damping * velocity) * h;
            value += velocity * h;
        }
        if (std::abs(value - to) < 0.01 && std::abs(velocity) < 0.1)
            set(to);
    }
}

PhotoDetailState::PhotoDetailState(int count, int index, Clock clock)
    : count_(std::max(count, 0)), index_(std::clamp(index, 0, std::max(count - 1, 0))), clock_(std::move(clock))
{
    zoom_.set(1.0);
    fade_.set(1.0);
}

void PhotoDetailState::handleSwipe(GesturePhase phase, double dx, double dy)
{
    if (closed_ || dismissing_ || navigating_)
        return;
    if (zoom_.value > zoomedThreshold) {
        handlePan(phase, dx, dy);
        return;
    }
    switch (phase) {
    case GesturePhase::began:
        axis_ = SwipeAxis::undecided;
        drag_.set(0);
        horizontal_.set(0);
        lastVertical_ = 0;
        lastHorizontal_ = 0;
        break;
    case GesturePhase::changed:
        switch (axis_) {
        case SwipeAxis::undecided:
            // Equal magnitudes never lock an axis.
            if (std::abs(dx) < std::abs(dy) && std::abs(dy) > axisLock) {
                axis_ = SwipeAxis::vertical;
                applyVerticalDelta(dy);
            } else if (std::abs(dy) < std::abs(dx) && std::abs(dx) > axisLock) {
                axis_ = SwipeAxis::horizontal;
                applyHorizontalDelta(dx);
            }
            break;
        case SwipeAxis::vertical: applyVerticalDelta(dy); break;
        case SwipeAxis::horizontal: applyHorizontalDelta(dx); break;
        }
        break;
    case GesturePhase::ended:
    case GesturePhase::cancelled:
        if (axis_ == SwipeAxis::vertical)
            handleVerticalEnd(drag_.value, lastVertical_);
        else if (axis_ == SwipeAxis::horizontal)
            handleHorizontalEnd(horizontal_.value, lastHorizontal_);
        axis_ = SwipeAxis::undecided;
        break;
    default:
        // Momentum after a lifted swipe neither drags nor pages.
        break;
    }
}

void PhotoDetailState::handleDrag(GesturePhase phase, double dx, double dy)
{
    if (!closed_ && !dismissing_ && !navigating_ && zoom_.value > zoomedThreshold)
        handlePan(phase, dx, dy);
}

void PhotoDetailState::handlePan(GesturePhase phase, double dx, double dy)
{
    switch (phase) {
    case GesturePhase::began:
    case GesturePhase::changed: break;
    case GesturePhase::ended:
    case GesturePhase::cancelled: return;
    default:
        // Momentum keeps the zoomed picture gliding.
        if (dx == 0 && dy == 0)
            return;
        break;
    }
    setPan(panX_.value + dx, panY_.value + dy);
}

void PhotoDetailState::applyVerticalDelta(double dy)
{
    // Down only: moving back up stops at the rest position.
    drag_.set(std::max(drag_.value + dy, 0.0));
    lastVertical_ = dy;
}

void PhotoDetailState::applyHorizontalDelta(double dx)
{
    double next = horizontal_.value + dx;
    // At either end the whole offset shrinks on every event, so the content barely follows.
    if (next < 0 && !hasNext())
        next *= rubberBand;
    else if (next > 0 && !hasPrevious())
        next *= rubberBand;
    horizontal_.set(next);
    lastHorizontal_ = dx;
}

void PhotoDetailState::handleVerticalEnd(double offset, double lastDelta)
{
    if (offset > dismissDistance || lastDelta > dismissFlick)
        animateDismiss();
    else
        drag_.spring(0, clock_(), swipeResponse, swipeDamping);
}

void PhotoDetailState::handleHorizontalEnd(double offset, double lastDelta)
{
    const bool wantsNext = offset < -pagingDistance || lastDelta < -pagingFlick;
    const bool wantsPrevious = offset > pagingDistance || lastDelta > pagingFlick;
    if (wantsNext && hasNext())
        navigate(index_ + 1, -1);
    else if (wantsPrevious && hasPrevious())
        navigate(index_ - 1, 1);
    else
        horizontal_.spring(0, clock_(), swipeResponse, swipeDamping);
}

void PhotoDetailState::handleMagnify(GesturePhase phase, double m)
{
    if (closed_ || dismissing_ || navigating_)
        return;
    switch (phase) {
    case GesturePhase::began:
        drag_.set(0);
        horizontal_.set(0);
        axis_ = SwipeAxis::undecided;
        break;
    case GesturePhase::changed: applyMagnification(m); break;
    case GesturePhase::ended:
    case GesturePhase::cancelled: finishMagnification(); break;
    default:
        if (m != 0)
            applyMagnification(m);
        break;
    }
}

void PhotoDetailState::applyMagnification(double m)
{
    if (m > 0) {
        setZoom(std::min((1 + m) * zoom_.value, maxZoom));
        return;
    }
    const double z = (1 + m) * zoom_.value;
    if (z <= 1) {
        setZoom(1);
        setPan(0, 0);
    } else {
        setZoom(z);
    }
}

void PhotoDetailState::finishMagnification()
{
    if (zoom_.value >= zoomedThreshold)
        return;
    const double now = clock_();
    zoom_.spring(1, now, pinchResponse, pinchDamping);
    panX_.spring(0, now, pinchResponse, pinchDamping);
    panY_.spring(0, now, pinchResponse, pinchDamping);
}

void PhotoDetailState::handleWheelZoom(double notches, QPointF anchor)
{
    if (isBusy() || notches == 0)
        return;
    const double before = zoom_.value;
    const QPointF pan = panOffset();
    applyMagnification(std::pow(wheelNotchFactor, notches) - 1);
    // The point under the pointer stays there: the pan follows the change of scale around it. A
    // zoom that reached 1 has recentred instead.
    if (zoom_.value > 1) {
        const double ratio = zoom_.value / before;
        setPan(anchor.x() - ratio * (anchor.x() - pan.x()), anchor.y() - ratio * (anchor.y() - pan.y()));
    }
    wheelEndAt_ = clock_() + wheelEndSeconds;
}

void PhotoDetailState::stepZoom(int direction)
{
    if (!isBusy())
        applyZoomFromControl(zoom_.value + direction * zoomStep);
}

void PhotoDetailState::zoomToFit()
{
    if (!isBusy())
        resetZoomState();
}

void PhotoDetailState::setZoom(double zoom)
{
    zoom_.set(zoom);
}

void PhotoDetailState::setPan(double x, double y)
{
    panX_.set(x);
    panY_.set(y);
}

void PhotoDetailState::resetZoomState()
{
    setZoom(1);
    setPan(0, 0);
}

void PhotoDetailState::applyZoomFromControl(double value)
{
    if (closed_)
        return;
    setZoom(std::clamp(value, 1.0, maxZoom));
    if (zoom_.value <= sliderPanReset)
        setPan(0, 0);
}

void PhotoDetailState::resetForLoad()
{
    drag_.set(0);
    lastVertical_ = 0;
    lastHorizontal_ = 0;
    axis_ = SwipeAxis::undecided;
    resetZoomState();
}

void PhotoDetailState::handleMove(int direction)
{
    if (closed_ || dismissing_ || navigating_ || zoom_.value > zoomedThreshold)
        return;
    if (direction < 0 && hasPrevious())
        navigate(index_ - 1, 1);
    else if (direction > 0 && hasNext())
        navigate(index_ + 1, -1);
}

void PhotoDetailState::navigate(int index, int exitDirection)
{
    if (closed_ || index < 0 || index >= count_ || navigating_)
        return;
    navigating_ = true;
    if (onPagingStarted)
        onPagingStarted();
    resetZoomState();
    const double now = clock_();
    // The current item slides out: left for the next one, right for the previous one.
    horizontal_.ease(exitDirection * slideDistance, now, pageOutSeconds, QEasingCurve::InQuad);
    pendingIndex_ = index;
    exitDirection_ = exitDirection;
    pageSwapAt_ = now + pageOutSeconds;
}

void PhotoDetailState::animateDismiss()
{
    if (closed_ || dismissing_)
        return;
    const double now = clock_();
    dismissing_ = true;
    drag_.ease(slideDistance, now, dismissSeconds, QEasingCurve::InQuad);
    fade_.ease(0, now, dismissSeconds, QEasingCurve::InQuad);
    dismissCloseAt_ = now + dismissSeconds;
}

void PhotoDetailState::close()
{
    if (closed_)
        return;
    closed_ = true;
    pageSwapAt_.reset();
    pageEndAt_.reset();
    dismissCloseAt_.reset();
    wheelEndAt_.reset();
    for (Motion* m : {&drag_, &horizontal_, &zoom_, &panX_, &panY_, &fade_})
        m->set(m->value);
    if (onClose)
        onClose();
}

void PhotoDetailState::runDueSteps(double now)
{
    // Steps run at their own scheduled time, however late the frame that finds them.
    if (pageSwapAt_ && now >= *pageSwapAt_) {
        const double at = *pageSwapAt_;
        pageSwapAt_.reset();
        horizontal_.set(-exitDirection_ * slideDistance);
        index_ = pendingIndex_;
        if (onIndexChanged)
            onIndexChanged(index_);
        if (closed_)
            return;
        horizontal_.ease(0, at, pageInSeconds, QEasingCurve::OutQuad);
        pageEndAt_ = at + pageInSeconds;
    }
    if (pageEndAt_ && now >= *pageEndAt_) {
        pageEndAt_.reset();
        navigating_ = false;
    }
    if (wheelEndAt_ && now >= *wheelEndAt_) {
        wheelEndAt_.reset();
        if (!isBusy())
            finishMagnification();
    }
    if (dismissCloseAt_ && now >= *dismissCloseAt_) {
        dismissCloseAt_.reset();
        drag_.set(slideDistance);
        close();
    }
}

void PhotoDetailState::advance()
{
    if (closed_)
        return;
    const double now = clock_();
    for (Motion* m : {&drag_, &horizontal_, &zoom_, &panX_, &panY_, &fade_})
        m->advance(now);
    runDueSteps(now);
    if (!closed_)
        horizontal_.advance(now);
}

bool PhotoDetailState::isAnimating() const
{
    if (closed_)
        return false;
    return pageSwapAt_ || pageEndAt_ || dismissCloseAt_ || wheelEndAt_ || drag_.active() || horizontal_.active()
        || zoom_.active() || panX_.active() || panY_.active() || fade_.active();
}

double PhotoDetailState::backdropOpacity() const
{
    return std::max(0.35, 1 - 0.65 * std::min(drag_.value / dismissDistance, 1.0));
}

double PhotoDetailState::contentScale() const
{
    return zoom_.value * (1 - 0.12 * std::min(drag_.value / 420, 1.0));
}

} // namespace app
