#pragma once

#include <QObject>
#include <QTimer>

#include <functional>

namespace app {

// Gesture phases with the raw values the rest of the program compares against.
enum class GesturePhase : int {
    none = 0,
    began = 1,
    stationary = 2,
    changed = 4,
    ended = 8,
    cancelled = 16,
    mayBegin = 32,
};

// Reports two-finger scrolls (precise deltas only, never with Ctrl held) to a callback while started; every event still
// goes on to the widget under the pointer. An application event filter sees one event several
// times (the window, then the widget and its parents), so only the window's copy is reported.
class TrackpadSwipeMonitor : public QObject {
    Q_OBJECT
public:
    // Phase, horizontal and vertical delta in pixels; positive moves the content right/down.
    std::function<void(GesturePhase, double dx, double dy)> onEvent = [](GesturePhase, double, double) {};

    explicit TrackpadSwipeMonitor(QObject* parent = nullptr);
    ~TrackpadSwipeMonitor() override;

    void start();
    void stop();
    bool isStarted() const { return started_; }

    // Many X11 touchpads send no phases: a gesture is taken to end after this long without events.
    static constexpr int idleEndMs = 150;
    // A gesture with phases whose end never arrives is ended after this long without events;
    // longer, as fingers resting on the pad mid-swipe send nothing.
    static constexpr int phasedIdleEndMs = 1000;
    // Scales angle deltas of touchpads that send no pixel deltas.
    static constexpr double angleFactor = 1.0;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool started_ = false;
    // A gesture was reported begun and not yet ended.
    bool open_ = false;
    QTimer idle_;
};

// Reports pinch gestures with their magnification (the change carried by one event).
class TrackpadMagnifyMonitor : public QObject {
    Q_OBJECT
public:
    std::function<void(GesturePhase, double magnification)> onEvent = [](GesturePhase, double) {};

    explicit TrackpadMagnifyMonitor(QObject* parent = nullptr);
    ~TrackpadMagnifyMonitor() override;

    void start();
    void stop();
    bool isStarted() const { return started_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool started_ = false;
};

} // namespace app
