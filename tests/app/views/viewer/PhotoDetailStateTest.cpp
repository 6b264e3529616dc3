#include "app/views/viewer/PhotoDetailState.h"

#include <gtest/gtest.h>

#include <QList>

using namespace app;
using Phase = GesturePhase;

namespace {

// One input of a replayed sequence.
struct Step {
    enum class Kind { swipe, drag, pinch, key, wait, slider, close, wheel, zoomKey } kind;
    Phase phase = Phase::none;
    double a = 0, b = 0, c = 0;
};

Step swipe(Phase phase, double dx, double dy) { return {Step::Kind::swipe, phase, dx, dy}; }
Step drag(Phase phase, double dx, double dy) { return {Step::Kind::drag, phase, dx, dy}; }
Step pinch(Phase phase, double m) { return {Step::Kind::pinch, phase, m}; }
Step key(int direction) { return {Step::Kind::key, Phase::none, double(direction)}; }
Step wait(double seconds) { return {Step::Kind::wait, Phase::none, seconds}; }
Step slider(double value) { return {Step::Kind::slider, Phase::none, value}; }
Step escape() { return {Step::Kind::close}; }
// Ctrl + wheel of `notches` with the pointer at (x, y) from the content's centre.
Step wheel(double notches, double x = 0, double y = 0) { return {Step::Kind::wheel, Phase::none, notches, x, y}; }
// `+` is 1, `-` is -1, `0` is 0.
Step zoomKey(int direction) { return {Step::Kind::zoomKey, Phase::none, double(direction)}; }

QList<Step> repeated(int n, const Step& step)
{
    return QList<Step>(n, step);
}

struct Outcome {
    int index = 0;
    double drag = 0;
    double horizontal = 0;
    double zoom = 1;
    double panX = 0, panY = 0;
    double opacity = 1;
    bool dismissing = false;
    bool navigating = false;
    int indexWrites = 0;
    int closes = 0;
};

struct Case {
    const char* name;
    int count;
    int start;
    QList<Step> steps;
    Outcome expected;
};

} // namespace

TEST(PhotoDetailState, replayedSequences)
{
    const auto began = swipe(Phase::began, 0, 0);
    const auto ended = swipe(Phase::ended, 0, 0);
    const QList<Case> cases = {
        {"equal deltas never lock an axis", 5, 2,
         {began, swipe(Phase::changed, 5, 5), swipe(Phase::changed, -8, 8), ended, wait(1)},
         {.index = 2}},
        {"a slow swipe down past 140 closes after the slide", 5, 2,
         QList<Step>{began} + repeated(15, swipe(Phase::changed, 0, 10)) + QList<Step>{ended, wait(0.1)},
         {.index = 2, .drag = 150 + 750 * 0.25, .opacity = 0.75, .dismissing = true}},
        {"a short flick down closes", 5, 2,
         {began, swipe(Phase::changed, 0, 5), swipe(Phase::changed, 0, 45), ended, wait(0.25)},
         {.index = 2, .drag = 900, .opacity = 0, .dismissing = true, .closes = 1}},
        {"less than both springs back", 5, 2,
         {began, swipe(Phase::changed, 0, 100), swipe(Phase::changed, 0, 39), ended, wait(2)},
         {.index = 2}},
        {"dragging up stops at the rest position", 5, 2,
         {began, swipe(Phase::changed, 0, -20), swipe(Phase::changed, 0, 10), swipe(Phase::changed, 3, -30)},
         {.index = 2}},
        {"momentum after a swipe neither drags nor pages", 5, 2,
         {began, swipe(Phase::changed, 0, 10), ended, swipe(Phase::none, 0, 80), swipe(Phase::none, -90, 0), wait(2)},
         {.index = 2}},
        {"rubber band past the last item settles near a third of the delta", 3, 2,
         QList<Step>{began} + repeated(30, swipe(Phase::changed, -9, 0)),
         {.index = 2, .horizontal = -3}},
        {"and springs back without paging", 3, 2,
         QList<Step>{began} + repeated(30, swipe(Phase::changed, -9, 0)) + QList<Step>{ended, wait(2)}, {.index = 2}},
        {"rubber band before the first item", 3, 0,
         QList<Step>{began} + repeated(30, swipe(Phase::changed, 9, 0)) + QList<Step>{ended, wait(2)}, {.index = 0}},
        {"past 120 pages to the next item", 3, 0,
         QList<Step>{began} + repeated(11, swipe(Phase::changed, -11, 0)) + QList<Step>{ended, wait(0.4)},
         {.index = 1, .indexWrites = 1}},
        {"short of 120 with a slow end springs back", 3, 0,
         QList<Step>{began} + repeated(3, swipe(Phase::changed, -39.5, 0)) + QList<Step>{ended, wait(2)},
         {.index = 0}},
        {"a flick of more than 40 pages", 3, 1,
         {began, swipe(Phase::changed, 20, 0), swipe(Phase::changed, 41, 0), ended, wait(0.4)},
         {.index = 0, .indexWrites = 1}},
        {"far left with a last flick right goes next when there is one", 3, 0,
         QList<Step>{began} + repeated(4, swipe(Phase::changed, -50, 0))
             + QList<Step>{swipe(Phase::changed, 45, 0), ended, wait(0.4)},
         {.index = 1, .indexWrites = 1}},
        {"mid-slide the index is not written yet", 3, 0,
         {key(1), wait(0.1)},
         {.index = 0, .horizontal = -900 * 0.1 / 0.15 * 0.1 / 0.15, .navigating = true}},
        {"right after the swap the new item comes in from the right", 3, 0,
         {key(1), wait(0.16)}, {.index = 1, .horizontal = 900 * 0.95 * 0.95, .navigating = true, .indexWrites = 1}},
        {"left arrow slides the item out to the right", 3, 2,
         {key(-1), wait(0.4)}, {.index = 1, .indexWrites = 1}},
        {"gestures, keys and pinches are ignored while paging", 5, 2,
         {key(1), wait(0.05), key(1), pinch(Phase::changed, 1), began, swipe(Phase::changed, 0, 200), ended,
          wait(0.1), key(-1), wait(0.3)},
         {.index = 3, .indexWrites = 1}},
        {"pinching out stops at 4", 3, 1,
         {pinch(Phase::began, 0), pinch(Phase::changed, 0.5), pinch(Phase::changed, 0.5), pinch(Phase::changed, 1)},
         {.index = 1, .zoom = 4}},
        {"pinching in below 1 snaps to 1 and recentres at once", 3, 1,
         {pinch(Phase::changed, 1), swipe(Phase::began, 10, 20), pinch(Phase::changed, -0.6)}, {.index = 1}},
        {"released between 1 and 1.02 springs to 1", 3, 1,
         {pinch(Phase::began, 0), pinch(Phase::changed, 0.015), pinch(Phase::ended, 0), wait(2)}, {.index = 1}},
        {"released above 1.02 stays", 3, 1,
         {pinch(Phase::changed, 0.025), pinch(Phase::ended, 0), wait(2)}, {.index = 1, .zoom = 1.025}},
        {"pinch events without a phase still zoom", 3, 1, {pinch(Phase::none, 0.5), pinch(Phase::none, 0)},
         {.index = 1, .zoom = 1.5}},
        {"zoomed in, scrolls pan with their momentum and never page or close", 3, 1,
         {pinch(Phase::changed, 1), swipe(Phase::began, 5, 5), swipe(Phase::changed, -200, 0),
          swipe(Phase::changed, 0, 300), swipe(Phase::ended, 3, 3), swipe(Phase::none, 4, 4),
          swipe(Phase::none, 0, 0), wait(1)},
         {.index = 1, .zoom = 2, .panX = -191, .panY = 309}},
        {"zoomed in, a primary-button drag pans and never pages or closes", 3, 1,
         {pinch(Phase::changed, 1), drag(Phase::began, 0, 0), drag(Phase::changed, -200, 0),
          drag(Phase::changed, 0, 300), drag(Phase::ended, 0, 0), wait(1)},
         {.index = 1, .zoom = 2, .panX = -200, .panY = 300}},
        {"at rest a drag neither pans, pages nor closes", 3, 1,
         {drag(Phase::began, 0, 0), drag(Phase::changed, -200, 0), drag(Phase::changed, 0, 300),
          drag(Phase::ended, 0, 0), wait(1)},
         {.index = 1}},
        {"zoomed to 1.02 or less a drag does nothing", 3, 1,
         {pinch(Phase::changed, 0.02), drag(Phase::began, 0, 0), drag(Phase::changed, 50, 50), wait(1)},
         {.index = 1, .zoom = 1.02}},
        {"arrow keys do nothing while zoomed above 1.02", 3, 1, {pinch(Phase::changed, 0.05), key(1), wait(1)},
         {.index = 1, .zoom = 1.05}},
        {"the slider clamps to 1…4", 3, 1, {slider(0.2)}, {.index = 1}},
        {"the slider clamps to 4", 3, 1, {slider(7)}, {.index = 1, .zoom = 4}},
        {"a slider zoom of 1.001 recentres", 3, 1, {pinch(Phase::changed, 1), swipe(Phase::began, 30, 0), slider(1.001)},
         {.index = 1, .zoom = 1.001}},
        {"a larger slider zoom keeps the pan", 3, 1, {pinch(Phase::changed, 1), swipe(Phase::began, 30, 0), slider(1.5)},
         {.index = 1, .zoom = 1.5, .panX = 30}},
        {"paging resets the zoom", 3, 0, {pinch(Phase::changed, 0.01), key(1), wait(0.4)},
         {.index = 1, .indexWrites = 1}},
        {"Escape during the paging step closes once and writes nothing", 3, 0,
         {key(1), wait(0.1), escape(), wait(0.3), escape()},
         {.index = 0, .horizontal = -900 * 0.1 / 0.15 * 0.1 / 0.15, .navigating = true, .closes = 1}},
        {"Escape during the dismissal closes once", 3, 0,
         {began, swipe(Phase::changed, 0, 50), ended, wait(0.1), escape(), wait(0.3)},
         {.index = 0, .drag = 50 + (900 - 50) * 0.25, .opacity = 0.75, .dismissing = true, .closes = 1}},
        {"Ctrl + wheel zooms keeping the point under the pointer", 3, 1, {wheel(2, 100, 50)},
         {.index = 1, .zoom = 1.44, .panX = -44, .panY = -22}},
        {"Ctrl + wheel stops at 4", 3, 1, {wheel(10, 100, 0)}, {.index = 1, .zoom = 4, .panX = -300}},
        {"Ctrl + wheel out below 1 snaps to 1 and recentres", 3, 1, {wheel(2, 100, 50), wheel(-3, -80, 10)},
         {.index = 1}},
        {"a wheel left between 1 and 1.02 springs to 1 after its last notch", 3, 1, {wheel(0.1), wait(1)},
         {.index = 1}},
        {"a wheel left above 1.02 stays", 3, 1, {wheel(1), wait(1)}, {.index = 1, .zoom = 1.2}},
        {"+ and - step like the toolbar's buttons", 3, 1, {zoomKey(1), zoomKey(1), zoomKey(1), zoomKey(-1)},
         {.index = 1, .zoom = 1.5}},
        {"- stops at 1 and recentres", 3, 1, {wheel(0.5, 100, 0), zoomKey(-1)}, {.index = 1}},
        {"0 goes back to the whole picture", 3, 1, {pinch(Phase::changed, 1), swipe(Phase::began, 30, 0), zoomKey(0)},
         {.index = 1}},
        {"wheel and zoom keys are ignored while paging", 3, 1, {key(1), wait(0.05), wheel(2), zoomKey(1)},
         {.index = 1, .horizontal = -100, .navigating = true}},
    };

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        double now = 10;
        PhotoDetailState state(c.count, c.start, [&now] { return now; });
        int writes = 0, closes = 0;
        state.onIndexChanged = [&](int index) {
            ++writes;
            EXPECT_EQ(index, state.currentIndex());
            state.resetForLoad();
        };
        state.onClose = [&] { ++closes; };
        for (const Step& step : c.steps) {
            switch (step.kind) {
            case Step::Kind::swipe: state.handleSwipe(step.phase, step.a, step.b); break;
            case Step::Kind::drag: state.handleDrag(step.phase, step.a, step.b); break;
            case Step::Kind::pinch: state.handleMagnify(step.phase, step.a); break;
            case Step::Kind::key: state.handleMove(int(step.a)); break;
            case Step::Kind::slider: state.applyZoomFromControl(step.a); break;
            case Step::Kind::close: state.close(); break;
            case Step::Kind::wheel: state.handleWheelZoom(step.a, QPointF(step.b, step.c)); break;
            case Step::Kind::zoomKey:
                if (step.a == 0)
                    state.zoomToFit();
                else
                    state.stepZoom(int(step.a));
                break;
            case Step::Kind::wait:
                // Frames of about 16 ms, as the widget runs them.
                for (double left = step.a; left > 1e-9; left -= 0.016) {
                    now += std::min(left, 0.016);
                    state.advance();
                }
                break;
            }
        }
        const Outcome& e = c.expected;
        EXPECT_EQ(state.currentIndex(), e.index);
        EXPECT_NEAR(state.dragOffset(), e.drag, 0.5);
        EXPECT_NEAR(state.horizontalOffset(), e.horizontal, 0.5);
        EXPECT_NEAR(state.zoomScale(), e.zoom, 1e-6);
        EXPECT_NEAR(state.panOffset().x(), e.panX, 1e-6);
        EXPECT_NEAR(state.panOffset().y(), e.panY, 1e-6);
        EXPECT_NEAR(state.contentOpacity(), e.opacity, 0.01);
        EXPECT_EQ(state.isDismissing(), e.dismissing);
        EXPECT_EQ(state.isNavigating(), e.navigating);
        EXPECT_EQ(writes, e.indexWrites);
        EXPECT_EQ(closes, e.closes);
    }
}

TEST(PhotoDetailState, derivedBackdropAndScale)
{
    struct Row {
        double drag;
        double backdrop;
        double scale;
    };
    const QList<Row> rows = {{0, 1, 1}, {70, 0.675, 1 - 0.12 / 6}, {140, 0.35, 1 - 0.04}, {420, 0.35, 0.88},
                             {900, 0.35, 0.88}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.drag);
        PhotoDetailState state(3, 1, [] { return 0.0; });
        state.handleSwipe(GesturePhase::began, 0, 0);
        state.handleSwipe(GesturePhase::changed, 0, row.drag);
        EXPECT_NEAR(state.backdropOpacity(), row.backdrop, 1e-9);
        EXPECT_NEAR(state.contentScale(), row.scale, 1e-9);
    }
}
