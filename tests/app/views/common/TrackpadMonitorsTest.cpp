#include "app/views/common/TrackpadMonitors.h"

#include "support/app/Wait.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QNativeGestureEvent>
#include <QPointingDevice>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <QWidget>
#include <QWindow>

#include <memory>

using namespace app;

namespace {

const QPointingDevice* touchpad()
{
    static const auto* device = [] {
        auto* d = new QPointingDevice("test touchpad", 4242, QInputDevice::DeviceType::TouchPad,
                                      QPointingDevice::PointerType::Finger,
                                      QInputDevice::Capability::Position | QInputDevice::Capability::Scroll, 2, 0);
        return d;
    }();
    return device;
}

// A window with a scroll area holding a tall child, two levels deep.
struct NestedWindow {
    QWidget window;
    QScrollArea* area = nullptr;
    NestedWindow()
    {
        auto* layout = new QVBoxLayout(&window);
        area = new QScrollArea;
        auto* tall = new QWidget;
        tall->setMinimumSize(200, 4000);
        // Synthesised (non-spontaneous) wheel events do not climb to parents: let the viewport
        // itself be the widget under the pointer, as the grid's viewport is.
        tall->setAttribute(Qt::WA_TransparentForMouseEvents);
        area->setWidget(tall);
        layout->addWidget(area);
        window.resize(300, 300);
        window.show();
        window.winId();
        QApplication::processEvents();
    }
    QWindow* handle() { return window.windowHandle(); }
    QPointF centre() { return QPointF(150, 150); }
};

} // namespace

TEST(TrackpadMonitors, eachEventIsReportedOnceAndStillReachesTheView)
{
    NestedWindow w;
    ASSERT_NE(w.handle(), nullptr);
    ASSERT_GT(w.area->verticalScrollBar()->maximum(), 0);

    TrackpadMagnifyMonitor pinch;
    QList<std::pair<GesturePhase, double>> pinches;
    pinch.onEvent = [&](GesturePhase phase, double m) { pinches.append({phase, m}); };
    // Starting twice still installs one filter.
    pinch.start();
    pinch.start();

    const QPointF pos = w.centre();
    const QPointF global = w.window.mapToGlobal(pos.toPoint());
    for (auto [type, value] : {std::pair{Qt::BeginNativeGesture, 0.0}, std::pair{Qt::ZoomNativeGesture, 0.07},
                               std::pair{Qt::EndNativeGesture, 0.0}}) {
        QNativeGestureEvent event(type, QPointingDevice::primaryPointingDevice(), 2, pos, pos, global, value, {});
        QApplication::sendEvent(w.handle(), &event);
    }
    ASSERT_EQ(pinches.size(), 3);
    EXPECT_EQ(pinches[0].first, GesturePhase::began);
    EXPECT_EQ(pinches[1].first, GesturePhase::changed);
    EXPECT_DOUBLE_EQ(pinches[1].second, 0.07);
    EXPECT_EQ(pinches[2].first, GesturePhase::ended);

    pinch.stop();
    QNativeGestureEvent after(Qt::ZoomNativeGesture, QPointingDevice::primaryPointingDevice(), 2, pos, pos, global,
                              0.1, {});
    QApplication::sendEvent(w.handle(), &after);
    EXPECT_EQ(pinches.size(), 3);

    TrackpadSwipeMonitor swipe;
    QList<std::tuple<GesturePhase, double, double>> swipes;
    swipe.onEvent = [&](GesturePhase phase, double dx, double dy) { swipes.append({phase, dx, dy}); };
    swipe.start();
    swipe.start();

    // Ctrl + a trackpad scroll zooms where it lands; it is no swipe.
    QWheelEvent zoom(pos, global, QPoint(0, -30), QPoint(0, -240), Qt::NoButton, Qt::ControlModifier, Qt::ScrollUpdate,
                     false, Qt::MouseEventNotSynthesized, touchpad());
    QApplication::sendEvent(w.handle(), &zoom);
    EXPECT_TRUE(swipes.isEmpty());

    // Each scroll as a device sends it: the phases reported, and the view still scrolls.
    const QPointingDevice* mouse = QPointingDevice::primaryPointingDevice();
    struct Event {
        Qt::ScrollPhase phase;
        QPoint pixels;
        const QPointingDevice* device;
    };
    using P = GesturePhase;
    const struct {
        const char* name;
        QList<Event> events;
        QList<GesturePhase> reported;
        bool endsByTiming; // else everything is reported by the time the last event is sent
    } scrolls[] = {
        {"a notched mouse wheel", {{Qt::NoScrollPhase, {}, mouse}}, {}, false},
        {"a trackpad with phases, then momentum",
         {{Qt::ScrollBegin, {0, -30}, touchpad()}, {Qt::ScrollUpdate, {0, -30}, touchpad()},
          {Qt::ScrollEnd, {0, -30}, touchpad()}, {Qt::ScrollMomentum, {0, -30}, touchpad()}},
         {P::began, P::changed, P::ended, P::none}, false},
        // As Qt's Wayland plugin sends it: the device says it is a mouse, the end is empty. The
        // swipe ends on that end, not a second later by the idle rule.
        {"an end with no delta",
         {{Qt::ScrollBegin, {0, -20}, mouse}, {Qt::ScrollUpdate, {0, -40}, mouse}, {Qt::ScrollEnd, {}, mouse}},
         {P::began, P::changed, P::ended}, false},
        {"an end that never comes", {{Qt::ScrollBegin, {0, -20}, touchpad()}, {Qt::ScrollUpdate, {0, -40}, touchpad()}},
         {P::began, P::changed, P::ended}, true},
        // The next swipe's own beginning went elsewhere too: its first update begins it.
        {"the swipe after an end that never came",
         {{Qt::ScrollUpdate, {0, -20}, touchpad()}, {Qt::ScrollUpdate, {0, -20}, touchpad()},
          {Qt::ScrollEnd, {}, touchpad()}},
         {P::began, P::changed, P::changed, P::ended}, false},
        {"no phases: the start and end from the timing",
         {{Qt::NoScrollPhase, {0, -5}, touchpad()}, {Qt::NoScrollPhase, {0, -5}, touchpad()}},
         {P::began, P::changed, P::ended}, true},
    };
    for (const auto& scroll : scrolls) {
        SCOPED_TRACE(scroll.name);
        swipes.clear();
        const int before = w.area->verticalScrollBar()->value();
        for (const Event& e : scroll.events) {
            // A notched wheel has only its angle; the others have both.
            const QPoint angle = e.pixels.isNull() && e.phase == Qt::NoScrollPhase ? QPoint(0, -120) : e.pixels * 8;
            QWheelEvent event(pos, global, e.pixels, angle, Qt::NoButton, Qt::NoModifier, e.phase, false,
                              Qt::MouseEventNotSynthesized, e.device);
            QApplication::sendEvent(w.handle(), &event);
        }
        EXPECT_GT(w.area->verticalScrollBar()->value(), before);
        if (scroll.endsByTiming)
            (void)app::test::waitFor([&] { return swipes.size() >= scroll.reported.size(); }, 3000);
        QList<GesturePhase> reported;
        for (const auto& [phase, dx, dy] : swipes)
            reported.append(phase);
        EXPECT_EQ(reported, scroll.reported);
        if (!scroll.reported.isEmpty())
            EXPECT_DOUBLE_EQ(std::get<2>(swipes[1]), scroll.events[1].pixels.y());
    }

    // A destroyed monitor leaves no filter behind.
    auto temporary = std::make_unique<TrackpadMagnifyMonitor>();
    int calls = 0;
    temporary->onEvent = [&](GesturePhase, double) { ++calls; };
    temporary->start();
    temporary.reset();
    QNativeGestureEvent late(Qt::ZoomNativeGesture, QPointingDevice::primaryPointingDevice(), 2, pos, pos, global,
                             0.1, {});
    QApplication::sendEvent(w.handle(), &late);
    EXPECT_EQ(calls, 0);
}
