#pragma once
// The canonical form of a cell set kept as a list.
#include <algorithm>

#include "grid/types.hpp"

namespace tovrana {

// Sorts cells by (ix, iy, layer) and drops repeats.
inline void sort_unique(CellList& cells) {
    std::sort(cells.begin(), cells.end());
    cells.erase(std::unique(cells.begin(), cells.end()), cells.end());
}

}  // namespace tovrana
