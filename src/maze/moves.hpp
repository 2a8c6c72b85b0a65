#pragma once
// Direction codes and the price of one move.
#include <cstdint>

#include "maze/cell_table.hpp"
#include "maze/maze_run.hpp"

namespace tovrana::maze {

// Direction of the move that produced a state.
enum Dir : uint8_t {
    kViaDown = 0,
    kPlusX = 1,
    kPlusY = 2,
    kMinusY = 3,  // also any other same-layer displacement (an equal-layer via rule)
    kViaUp = 4,
    kMinusX = 5,
    kStart = 6,
};

inline uint8_t via_direction(int32_t from_layer, int32_t to_layer) {
    if (to_layer == from_layer) return kMinusY;
    return to_layer > from_layer ? kViaUp : kViaDown;
}

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
