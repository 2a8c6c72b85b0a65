#pragma once
// Parallel-run-length pass: two nets on tracks 1..prl_halo apart on one layer,
// facing each other over at least prl_len consecutive along positions.
#include <span>
#include <vector>

#include "markers/flexgc_core.hpp"

namespace tovrana::markers {

// Appends the run markers, grouped by (layer, tracks, net pair) in first-seen
// order, runs and cells along-ascending. Does nothing when prl_halo <= 0 or
// prl_len <= 0.
void prl_pass(const Geometry& g, std::span<const NetRouteView> nets, const MarkerParams& params,
              std::vector<Marker>& out);

}  // namespace tovrana::markers
