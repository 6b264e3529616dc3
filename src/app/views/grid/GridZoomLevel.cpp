#include "app/views/grid/GridZoomLevel.h"

#include "app/views/common/TrackpadMonitors.h"

#include <cmath>

namespace app::GridZoom {

std::optional<GridZoomLevel> fromRawValue(int raw)
{
    if (raw < 0 || raw > 3)
        return std::nullopt;
    return GridZoomLevel(raw);
}

int rawValue(GridZoomLevel level)
{
    return int(level);
}

int columns(GridZoomLevel level)
{
    switch (level) {
    case GridZoomLevel::columns11: return 11;
    case GridZoomLevel::columns8: return 8;
    case GridZoomLevel::columns6: return 6;
    case GridZoomLevel::columns3: return 3;
    }
    return 11;
}

double thumbnailPointSize(GridZoomLevel level)
{
    switch (level) {
    case GridZoomLevel::columns11: return 140;
    case GridZoomLevel::columns8: return 200;
    case GridZoomLevel::columns6: return 280;
    case GridZoomLevel::columns3: return 480;
    }
    return 140;
}

QList<double> thumbnailPointSizesLargestFirst()
{
    return {thumbnailPointSize(GridZoomLevel::columns3), thumbnailPointSize(GridZoomLevel::columns6),
            thumbnailPointSize(GridZoomLevel::columns8), thumbnailPointSize(GridZoomLevel::columns11)};
}

std::optional<GridZoomLevel> zoomedIn(GridZoomLevel level)
{
    return fromRawValue(rawValue(level) + 1);
}

std::optional<GridZoomLevel> zoomedOut(GridZoomLevel level)
{
    return fromRawValue(rawValue(level) - 1);
}

} // namespace app::GridZoom

namespace app {

std::optional<GridZoomLevel> PinchZoomAccumulator::handle(GesturePhase phase, double magnification,
                                                          GridZoomLevel current)
{
    switch (phase) {
    case GesturePhase::began:
    case GesturePhase::ended:
    case GesturePhase::cancelled: accumulated_ = 0; return std::nullopt;
    case GesturePhase::changed: return apply(magnification, current);
    default:
        if (magnification == 0)
            return std::nullopt;
        return apply(magnification, current);
    }
}

std::optional<GridZoomLevel> PinchZoomAccumulator::apply(double magnification, GridZoomLevel current)
{
    if (!std::isfinite(magnification))
        return std::nullopt;
    accumulated_ += magnification;
    if (accumulated_ >= threshold) {
        if (auto next = GridZoom::zoomedIn(current)) {
            accumulated_ = 0;
            return next;
        }
        accumulated_ = threshold;
    } else if (accumulated_ <= -threshold) {
        if (auto next = GridZoom::zoomedOut(current)) {
            accumulated_ = 0;
            return next;
        }
        accumulated_ = -threshold;
    }
    return std::nullopt;
}

} // namespace app
