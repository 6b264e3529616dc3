#pragma once

#include "app/views/grid/GridLayoutEngine.h"

#include <optional>

namespace app {

// The item the arrow keys, Home and End move the grid's selection to, from the selected item (or
// from none); nothing for any other key or an empty grid. Up and Down go to the nearest cell of
// the row above or below, across day headers.
std::optional<int> gridKeyTarget(const GridLayoutEngine& engine, std::optional<int> current, int key);

} // namespace app
