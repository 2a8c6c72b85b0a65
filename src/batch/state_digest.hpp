#pragma once
// Digests that tell whether two grids would work a box to the same result.
#include <cstdint>

#include "grid/hash_mix.hpp"
#include "worker/box_worker.hpp"

namespace tovrana {

// What a box worker reads that changes from batch to batch: the route store (slot
// order, nets, cells, edges), occ and the halos of the local deltas. Equal on two
// grids built alike and given the same calls; the same in every process. Costs the
// same on any state: both parts keep their digests current.
uint64_t state_digest(const Grid& grid);

// The worker parameters of a batch (everything but the thread count).
uint64_t params_digest(const BoxParams& params);

// What a batch is worked from: state_digest plus the grid's routing rules (track
// model, no-via cells, spacing footprints), whose digest only their setters change.
inline uint64_t worked_state_digest(const Grid& grid) { return hash_mix64(state_digest(grid), grid.rules_digest()); }

}  // namespace tovrana
