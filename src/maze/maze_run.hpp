#pragma once
// The A* search loop shared by box_maze and the box worker.
#include <optional>

#include "maze/id_lookup.hpp"
#include "state/grid.hpp"

namespace tovrana {

struct PenaltyWeights {
    double drc = 0.0;     // gg_drc: foreign occupancy (or route_shape without occ pricing)
    double marker = 0.0;  // gg_marker: marker_pos cells
    double fixed = 0.0;   // gg_fixed: fixed cells
};

// One search: every set is keyed by cell id except the corridor (gcell keys). The
// cell-id sets come with their id range (maze::IdLookup), which a caller running
// many searches over one set computes once.
struct MazeQuery {
    NetId net = 0;
    const CellList& starts;
    const CellList& goals;
    PenaltyWeights weights;
    maze::IdLookup hard;
    maze::IdLookup route_shape;
    maze::IdLookup marker_pos;
    maze::IdLookup fixed;
    const HashSet<int64_t>& corridor;
    int32_t gc = 1;
    bool use_occ = false;
    const OccDelta* delta = nullptr;  // a worker's pending changes over grid.occ
    // Without occupancy pricing: the stored routes' cells of other nets stand for
    // route_shape (grid.route_shape()) when set.
    const OccMap* stored_shape = nullptr;
    // The heuristic times this (at least 1): a search that keeps to the goal's direction
    // and finds a path at most this many times the cheapest. 1 is plain A*.
    double heuristic_weight = 1.0;
};

// The path from a start cell to a goal cell, or nothing. Reads only; throws Panic
// for a gcell size of 0, a NaN cost reaching the queue order, or a via rule that
// names a layer outside the grid.
std::optional<CellList> maze_run(const Grid& grid, const MazeQuery& query);

}  // namespace tovrana
