#pragma once
// Cutting a net's route at a box: what the reroute keeps, and what it must connect.
#include "grid/worker_consts.hpp"
#include "worker/box_geometry.hpp"

namespace tovrana {

struct Extraction {
    EdgeList kept_edges;     // route edges with an end outside the box, in route order
    CellList fixed_cells;    // outside cells and crossing points, sorted and unique
    std::vector<CellList> targets;  // sorted crossing points, then in-box terminal sets whole
};

// `termsets` may be null (the net has none).
Extraction extract_box(const CellList& cells, const EdgeList& edges, const TermSets* termsets,
                       const BoxGeometry& box);

}  // namespace tovrana
