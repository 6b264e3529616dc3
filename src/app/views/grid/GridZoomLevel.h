#pragma once

#include <QList>

#include <optional>

namespace app {

// The four zoom levels of the photo grid, fewest-column last.
enum class GridZoomLevel { columns11 = 0, columns8 = 1, columns6 = 2, columns3 = 3 };

namespace GridZoom {

std::optional<GridZoomLevel> fromRawValue(int raw);
int rawValue(GridZoomLevel level);
int columns(GridZoomLevel level);
double thumbnailPointSize(GridZoomLevel level);
// 480, 280, 200, 140: what a placeholder may find in the thumbnail cache.
QList<double> thumbnailPointSizesLargestFirst();
// Fewer, larger cells; nothing at columns3.
std::optional<GridZoomLevel> zoomedIn(GridZoomLevel level);
// More, smaller cells; nothing at columns11.
std::optional<GridZoomLevel> zoomedOut(GridZoomLevel level);

} // namespace GridZoom

enum class GesturePhase : int;

// Turns a pinch's stream of small magnifications into zoom steps: one step per 0.15 gathered,
// and a stop at either end that must be travelled back before the other way steps.
class PinchZoomAccumulator {
public:
    static constexpr double threshold = 0.15;

    // Returns the new level when this event steps the zoom.
    std::optional<GridZoomLevel> handle(GesturePhase phase, double magnification, GridZoomLevel current);
    std::optional<GridZoomLevel> apply(double magnification, GridZoomLevel current);
    double accumulated() const { return accumulated_; }

private:
    double accumulated_ = 0;
};

} // namespace app
