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

// The terms of entering a cell, added to a move's own cost in exactly this order:
// drc, marker, fixed.
inline double with_penalties(double step, uint8_t flags, const PenaltyWeights& w) {
    if (flags & CellRec::kDrc) step += w.drc;
    if (flags & CellRec::kMarker) step += w.marker;
    if (flags & CellRec::kFixed) step += w.fixed;
    return step;
}

inline bool straight_on(uint8_t from_dir, uint8_t d) { return from_dir == kStart || from_dir == d; }

// A via move, and every move without a track model: base + 1 straight on (or out
// of a start), base + 2 after a turn, then the penalties. `base` is the via cost of
// a layer change and 0 for a same-layer move.
inline double step_cost(double base, uint8_t from_dir, uint8_t d, uint8_t flags, const PenaltyWeights& w) {
    return with_penalties(base + (straight_on(from_dir, d) ? 1.0 : 2.0), flags, w);
}

// A same-layer move under a track model: its length cost, + 1 after a turn (so on a
// unit-spaced model it costs exactly what step_cost gives), then the penalties.
inline double track_step_cost(double length, uint8_t from_dir, uint8_t d, uint8_t flags, const PenaltyWeights& w) {
    return with_penalties(length + (straight_on(from_dir, d) ? 0.0 : 1.0), flags, w);
}

}  // namespace tovrana::maze
