#pragma once
// The rip-up-and-reroute worker for one box of gcells. Reads the Grid only;
// everything it changes stays in its own result.
#include <span>
#include <vector>

#include "grid/box.hpp"
#include "markers/slot_index.hpp"
#include "maze/maze_run.hpp"
#include "state/grid.hpp"

namespace tovrana {

struct BoxParams {
    int32_t gc = 1;
    Halos halos;
    bool ripup_all = false;
    int32_t maze_end_iter = 0;
    PenaltyWeights weights;
    double marker_decay = 0.0;
    int32_t prl_halo = 0;
    int32_t prl_len = 0;
    std::span<const uint8_t> vertical;
};

struct BoxResult {
    std::vector<NetRoute> routes;  // accepted: the changed nets' whole local routes
    OccDelta delta;                // the box's final local delta, accepted or not
    bool accepted = false;
};

// `slots` indexes grid.routes: the worker finds the routes near its box through it.
BoxResult box_worker(const Grid& grid, const Box& box, const BoxParams& params, const SlotIndex& slots);

}  // namespace tovrana
