#pragma once
// Cover pass: cells under the halo footprints of two or more distinct net ids.
#include <span>
#include <vector>

#include "markers/flexgc_core.hpp"

namespace tovrana::markers {

// Appends one marker per cell covered by >= 2 net ids, cells in first-touch order
// over the whole walk, nets in the order they first touched the cell. Under spacing
// footprints only a cell that also holds a route cell of one of them is a marker:
// footprints that merely overlap on an empty cell are no conflict.
void cover_pass(const Geometry& g, std::span<const NetRouteView> nets, const MarkerParams& params,
                std::vector<Marker>& out);

}  // namespace tovrana::markers
