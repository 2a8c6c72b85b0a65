#pragma once
// The box worker's marker check: the engine over the route store in slot order,
// with the worker's local routes standing in for their nets' stored routes.
#include "grid/ordered_map.hpp"
#include "markers/flexgc_core.hpp"
#include "markers/slot_index.hpp"
#include "state/grid.hpp"

namespace tovrana {

struct LocalRoute {
    CellList cells;
    EdgeList edges;
    CellList vias;  // via_from_edges(edges), kept beside the route
    Bounds bounds;  // of cells
};

// A worker's rerouted nets in commit order (so everything derived from them is
// deterministic).
using LocalRoutes = InsertionOrderedMap<NetId, LocalRoute>;

// Markers over every slot of the store (nets without a slot take no part), the
// stored routes read in place; `params.region` is always set by the worker. Through
// the index of the store only the routes that can reach the region are visited;
// the markers are those of every slot.
std::vector<Marker> worker_markers(const Grid& grid, const LocalRoutes& local, const MarkerParams& params,
                                   const SlotIndex& index);

}  // namespace tovrana
