#pragma once

#include "app/views/common/TrackpadMonitors.h"

#include <QEasingCurve>
#include <QPointF>

#include <functional>
#include <optional>

namespace app {

// The viewer's gestures, paging and dismissal as plain state with an injected clock: trackpad
// scrolls and pinches, arrow keys and buttons go in; offsets, zoom, pan, the current index and
// one close come out. The widget forwards events, calls advance() once a frame while
// isAnimating(), and paints what it reads here.
class PhotoDetailState {
public:
    // Seconds on any monotonic scale.
    using Clock = std::function<double()>;
    enum class SwipeAxis { undecided, vertical, horizontal };

    static constexpr double axisLock = 1.5;
    static constexpr double zoomedThreshold = 1.02;
    static constexpr double maxZoom = 4.0;
    static constexpr double dismissDistance = 140;
    static constexpr double dismissFlick = 40;
    static constexpr double pagingDistance = 120;
    static constexpr double pagingFlick = 40;
    static constexpr double rubberBand = 0.25;
    static constexpr double slideDistance = 900;
    static constexpr double sliderPanReset = 1.001;
    static constexpr double pageOutSeconds = 0.15;
    static constexpr double pageInSeconds = 0.2;
    static constexpr double dismissSeconds = 0.2;
    // The toolbar's minus and plus buttons, and the keys that stand for them.
    static constexpr double zoomStep = 0.25;
    // A wheel sends no end: the zoom settles this long after its last notch, as a pinch does when
    // the fingers lift.
    static constexpr double wheelEndSeconds = 0.15;
    // One notch of Ctrl + wheel zooms by this factor (two notches about half a pinch).
    static constexpr double wheelNotchFactor = 1.2;

    PhotoDetailState(int count, int index, Clock clock);
    void setClock(Clock clock) { clock_ = std::move(clock); }

    // The index binding: the new item must load. Never called after close().
    std::function<void(int index)> onIndexChanged;
    // Paging starts: the current video stops.
    std::function<void()> onPagingStarted;
    // Called at most once, by close() or at the end of the dismissal.
    std::function<void()> onClose;

    void handleSwipe(GesturePhase phase, double dx, double dy);
    void handleMagnify(GesturePhase phase, double magnification);
    // A drag with the primary button, the mouse's stand-in for a two-finger scroll: it pans the
    // zoomed picture the same way and does nothing at rest (no paging, no closing).
    void handleDrag(GesturePhase phase, double dx, double dy);
    // Ctrl + wheel: `notches` (positive away from the user) zoom about `anchor`, the pointer's
    // offset from the centre of the content area, with the pinch's limits and end.
    void handleWheelZoom(double notches, QPointF anchor);
    // `+` / `-` and their Ctrl forms: one step of the toolbar's buttons.
    void stepZoom(int direction);
    // `0`: back to the whole picture.
    void zoomToFit();
    // Arrow keys: -1 left, +1 right; ignored while animating or zoomed in.
    void handleMove(int direction);
    // exitDirection -1 goes to the next item, 1 to the previous one.
    void navigate(int index, int exitDirection);
    void animateDismiss();
    void applyZoomFromControl(double value);
    void resetZoomState();
    void resetPan() { setPan(0, 0); }
    // What a newly loaded item resets; the horizontal offset belongs to the paging animation.
    void resetForLoad();
    // Ends the viewer: stops every animation and pending step, and calls onClose once.
    void close();

    // Runs the animations and the due steps up to the clock's now.
    void advance();
    bool isAnimating() const;

    int count() const { return count_; }
    int currentIndex() const { return index_; }
    bool hasPrevious() const { return index_ >= 1; }
    bool hasNext() const { return index_ < count_ - 1; }
    double dragOffset() const { return drag_.value; }
    double horizontalOffset() const { return horizontal_.value; }
    double lastVerticalDelta() const { return lastVertical_; }
    double lastHorizontalDelta() const { return lastHorizontal_; }
    SwipeAxis swipeAxis() const { return axis_; }
    bool isDismissing() const { return dismissing_; }
    bool isNavigating() const { return navigating_; }
    bool isClosed() const { return closed_; }
    double zoomScale() const { return zoom_.value; }
    QPointF panOffset() const { return {panX_.value, panY_.value}; }

    double backdropOpacity() const;
    double contentScale() const;
    // Fades out with the dismissal's slide.
    double contentOpacity() const { return fade_.value; }
    // The arrows are shown and take clicks only at rest.
    bool arrowsActive() const { return !dismissing_ && !navigating_; }

private:
    // One animated number: set directly, eased over a fixed time, or pulled by a spring.
    struct Motion {
        enum class Kind { none, tween, spring };
        double value = 0;
        Kind kind = Kind::none;
        double from = 0, to = 0, start = 0, duration = 0;
        QEasingCurve curve;
        double velocity = 0, stiffness = 0, damping = 0, last = 0;

        void set(double v);
        void ease(double target, double now, double seconds, QEasingCurve::Type type);
        void spring(double target, double now, double response, double dampingFraction);
        void advance(double now);
        bool active() const { return kind != Kind::none; }
    };

    void handlePan(GesturePhase phase, double dx, double dy);
    void applyVerticalDelta(double dy);
    void applyHorizontalDelta(double dx);
    void handleVerticalEnd(double offset, double lastDelta);
    void handleHorizontalEnd(double offset, double lastDelta);
    void applyMagnification(double m);
    void finishMagnification();
    bool isBusy() const { return closed_ || dismissing_ || navigating_; }
    void setZoom(double zoom);
    void setPan(double x, double y);
    void runDueSteps(double now);

    int count_;
    int index_;
    Clock clock_;
    Motion drag_, horizontal_, zoom_, panX_, panY_, fade_;
    double lastVertical_ = 0;
    double lastHorizontal_ = 0;
    SwipeAxis axis_ = SwipeAxis::undecided;
    bool dismissing_ = false;
    bool navigating_ = false;
    bool closed_ = false;

    // The paging's two later steps and the dismissal's close, at fixed times.
    std::optional<double> pageSwapAt_, pageEndAt_, dismissCloseAt_, wheelEndAt_;
    int pendingIndex_ = 0;
    int exitDirection_ = 0;
};

} // namespace app
