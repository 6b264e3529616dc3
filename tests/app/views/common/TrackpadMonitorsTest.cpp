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

    // A notched mouse wheel is not a swipe, but it still scrolls.
    const int before = w.area->verticalScrollBar()->value();
    QWheelEvent mouse(pos, global, QPoint(), QPoint(0, -120), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false,
                      Qt::MouseEventNotSynthesized, QPointingDevice::primaryPointingDevice());
    QApplication::sendEvent(w.handle(), &mouse);
    EXPECT_TRUE(swipes.isEmpty());
    EXPECT_GT(w.area->verticalScrollBar()->value(), before);
    // Ctrl + a trackpad scroll zooms where it lands; it is no swipe.
    QWheelEvent zoom(pos, global, QPoint(0, -30), QPoint(0, -240), Qt::NoButton, Qt::ControlModifier, Qt::ScrollUpdate,
                     false, Qt::MouseEventNotSynthesized, touchpad());
    QApplication::sendEvent(w.handle(), &zoom);
    EXPECT_TRUE(swipes.isEmpty());

    // A trackpad scroll with phases: reported once per event, and the view still scrolls.
    const int mid = w.area->verticalScrollBar()->value();
    for (Qt::ScrollPhase phase : {Qt::ScrollBegin, Qt::ScrollUpdate, Qt::ScrollEnd, Qt::ScrollMomentum}) {
        QWheelEvent event(pos, global, QPoint(0, -30), QPoint(0, -240), Qt::NoButton, Qt::NoModifier, phase, false,
                          Qt::MouseEventNotSynthesized, touchpad());
        QApplication::sendEvent(w.handle(), &event);
    }
    ASSERT_EQ(swipes.size(), 4);
    EXPECT_EQ(std::get<0>(swipes[0]), GesturePhase::began);
    EXPECT_EQ(std::get<0>(swipes[1]), GesturePhase::changed);
    EXPECT_EQ(std::get<0>(swipes[2]), GesturePhase::ended);
    EXPECT_EQ(std::get<0>(swipes[3]), GesturePhase::none);
    EXPECT_DOUBLE_EQ(std::get<2>(swipes[1]), -30);
    EXPECT_GT(w.area->verticalScrollBar()->value(), mid);

    // Without phases, the gesture's start and end come from its timing.
    swipes.clear();
    for (int i = 0; i < 2; ++i) {
        QWheelEvent event(pos, global, QPoint(0, 5), QPoint(0, 40), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase,
                          false, Qt::MouseEventNotSynthesized, touchpad());
        QApplication::sendEvent(w.handle(), &event);
    }
    ASSERT_TRUE(app::test::waitFor([&] { return swipes.size() >= 3; }, 2000));
    ASSERT_EQ(swipes.size(), 3);
    EXPECT_EQ(std::get<0>(swipes[0]), GesturePhase::began);
    EXPECT_EQ(std::get<0>(swipes[1]), GesturePhase::changed);
    EXPECT_EQ(std::get<0>(swipes[2]), GesturePhase::ended);

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
