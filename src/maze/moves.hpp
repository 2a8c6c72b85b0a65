#pragma once
// The price of one move, and the direction code of a via move.
#include <cstdint>

#include "maze/cell_table.hpp"
#include "maze/maze_run.hpp"

namespace tovrana::maze {

inline uint8_t via_direction(int32_t from_layer, int32_t to_layer) {
    if (to_layer == from_layer) return kMinusY;
    return to_layer > from_layer ? kViaUp : kViaDown;
}

// A new g replaces a state's g only when it is lower by more than this. Costs are
// sums of doubles, and two paths of the same cost summed in different orders can
// differ in the last bits; the margin keeps the g found first instead of letting
// that rounding noise pick the path.
inline constexpr double kImprovement = 1e-12;

// base + turn, then the drc, marker and fixed terms, summed in exactly that order.
// `base` is the via cost of a layer change and 0 for a same-layer move.
inline double step_cost(double base, uint8_t from_dir, uint8_t d, uint8_t flags, const PenaltyWeights& w) {
    double step = base + ((from_dir == kStart || from_dir == d) ? 1.0 : 2.0);
    if (flags & CellRec::kDrc) step += w.drc;
    if (flags & CellRec::kMarker) step += w.marker;
    if (flags & CellRec::kFixed) step += w.fixed;
    return step;
}

}  // namespace tovrana::maze
