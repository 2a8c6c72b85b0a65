#pragma once
// The halo footprint rule shared by occupancy, local deltas, cover markers and
// supply keep-outs: for each route cell in order, a (2h+1)^2 square on the cell's
// own layer, dx outer and dy inner, both ascending, clipped to the grid (and to a
// region when one is given); h is the via halo for a route cell that is also one of
// the net's via cells, else the wire halo. Visits count with multiplicity.
#include <algorithm>
#include <span>

#include "grid/geometry.hpp"

namespace tovrana {

struct Halos {
    int32_t wire = 0;
    int32_t via = 0;
};

// One net's route as the footprint walks and the marker engine read it: its route
// cells and via cells, in place.
struct NetRouteView {
    NetId net = 0;
    std::span<const Cell> cells;
    std::span<const Cell> vias;
    const Bounds* bounds = nullptr;  // of `cells`, when the caller keeps it: lets a
                                     // region call skip nets that cannot reach it
};

// Clamps the loops to the grid before iterating: same visits, bounded work for
// any halo.
template <class Visit>
void for_each_footprint(const Geometry& g, std::span<const Cell> cells, std::span<const Cell> vias,
                        Halos halos, const Region* region, Visit&& visit) {
    int64_t clip_x0 = 0, clip_x1 = int64_t{g.nx} - 1, clip_y0 = 0, clip_y1 = int64_t{g.ny} - 1;
    if (region) {
        clip_x0 = std::max<int64_t>(clip_x0, region->x0);
        clip_x1 = std::min<int64_t>(clip_x1, region->x1);
        clip_y0 = std::max<int64_t>(clip_y0, region->y0);
        clip_y1 = std::min<int64_t>(clip_y1, region->y1);
    }
    const int64_t h_max = std::max(halos.wire, halos.via);
    HashSet<int64_t> via_ids;  // built on the first cell whose square can reach the clip
    bool via_ids_built = vias.empty();
    for (const Cell& c : cells) {
        // Squares that miss the clip rectangle at the larger halo are skipped before
        // the via look-up: a net far from a region costs a few comparisons per cell.
        if (c.ix + h_max < clip_x0 || c.ix - h_max > clip_x1 || c.iy + h_max < clip_y0 || c.iy - h_max > clip_y1)
            continue;
        if (!via_ids_built) {
            via_ids.reserve(vias.size());
            for (const Cell& v : vias) via_ids.insert(g.cell_id(v));
            via_ids_built = true;
        }
        const int64_t h = (!via_ids.empty() && via_ids.contains(g.cell_id(c))) ? halos.via : halos.wire;
        if (h < 0) continue;
        const int64_t x_lo = std::max<int64_t>(c.ix - h, clip_x0), x_hi = std::min<int64_t>(c.ix + h, clip_x1);
        const int64_t y_lo = std::max<int64_t>(c.iy - h, clip_y0), y_hi = std::min<int64_t>(c.iy + h, clip_y1);
        for (int64_t x = x_lo; x <= x_hi; ++x)
            for (int64_t y = y_lo; y <= y_hi; ++y)
                visit(static_cast<int32_t>(x), static_cast<int32_t>(y), c.layer);
    }
}

}  // namespace tovrana
