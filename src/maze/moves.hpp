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
// Whether a state was entered by a layer change.
inline bool arrived_by_via(uint8_t d) { return d == kViaDown || d == kViaUp; }

// A same-layer move without a track model: 1 straight on (or out of a start), 2
// after a turn, then the penalties.
inline double step_cost(uint8_t from_dir, uint8_t d, uint8_t flags, const PenaltyWeights& w) {
    return with_penalties(0.0 + (straight_on(from_dir, d) ? 1.0 : 2.0), flags, w);
}

// A same-layer move priced by its length part (the gap's cost under a track model,
// 1 for a move off its net's guides without one, each already times outside_factor
// there), + 1 after a turn, then the penalties. With length 1 it costs exactly what
// step_cost gives.
inline double length_step_cost(double length, uint8_t from_dir, uint8_t d, uint8_t flags, const PenaltyWeights& w) {
    return with_penalties(length + (straight_on(from_dir, d) ? 0.0 : 1.0), flags, w);
}

// A via move: base + 1 straight on (or out of a start), base + 2 after a turn, then
// the stack cost, then the cost of landing off the net's guides, then the penalties.
// `base` is the via cost of a layer change and 0 for an equal-layer rule; `stack`
// and `outside` are 0 where they do not apply, and adding 0 changes no sum (base +
// turn is never -0.0).
inline double via_step_cost(double base, double stack, double outside, uint8_t from_dir, uint8_t d, uint8_t flags,
                            const PenaltyWeights& w) {
    return with_penalties(((base + (straight_on(from_dir, d) ? 1.0 : 2.0)) + stack) + outside, flags, w);
}

}  // namespace tovrana::maze
