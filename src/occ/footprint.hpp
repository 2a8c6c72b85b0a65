#pragma once
// The footprint rule shared by occupancy, local deltas, cover markers and supply
// keep-outs. For each route cell in order, on the cell's own layer, x outer and y
// inner, both ascending, clipped to the grid (and to a region when one is given);
// visits count with multiplicity. Without a spacing rule the footprint is a
// (2h+1)^2 square, h the via halo on a route cell that is also one of the net's via
// cells, else the wire halo. With one, it is the cell itself plus every cell whose
// centre lies closer than the layer's via or wire box, per axis (spacing_rule.hpp);
// a route cell outside the grid (layer included) then covers nothing.
#include <algorithm>
#include <span>

#include "grid/geometry.hpp"
#include "occ/spacing_rule.hpp"

namespace tovrana {

struct Halos {
    int32_t wire = 0;
    int32_t via = 0;
};

// Which footprints a call uses: the halo squares, or the spacing rule when set.
struct FootprintRule {
    Halos halos;
    const SpacingRule* spacing = nullptr;

    // The most cells a footprint reaches from its route cell along either axis
    // (negative: it covers nothing).
    int64_t reach() const { return spacing ? spacing->reach() : std::max(halos.wire, halos.via); }
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

// Calls visit(x, y, layer) for each visit. Clamps the loops to the grid before
// iterating: same visits, bounded work for any halo or spacing.
template <class Visit>
void for_each_footprint(const Geometry& g, std::span<const Cell> cells, std::span<const Cell> vias,
                        const FootprintRule& rule, const Region* region, Visit&& visit) {
    int64_t clip_x0 = 0, clip_x1 = int64_t{g.nx} - 1, clip_y0 = 0, clip_y1 = int64_t{g.ny} - 1;
    if (region) {
        clip_x0 = std::max<int64_t>(clip_x0, region->x0);
        clip_x1 = std::min<int64_t>(clip_x1, region->x1);
        clip_y0 = std::max<int64_t>(clip_y0, region->y0);
        clip_y1 = std::min<int64_t>(clip_y1, region->y1);
    }
    // Copied out of `rule`, so that the loop keeps them in registers whatever visit writes.
    const Halos halos = rule.halos;
    const SpacingRule* const spacing = rule.spacing;
    const int64_t reach = rule.reach();
    HashSet<int64_t> via_ids;  // built on the first cell whose footprint can reach the clip
    bool via_ids_built = vias.empty();
    for (const Cell& c : cells) {
        // Footprints that miss the clip rectangle at the largest reach are skipped before
        // the via look-up: a net far from a region costs a few comparisons per cell.
        if (c.ix + reach < clip_x0 || c.ix - reach > clip_x1 || c.iy + reach < clip_y0 || c.iy - reach > clip_y1)
            continue;
        if (!via_ids_built) {
            via_ids.reserve(vias.size());
            for (const Cell& v : vias) via_ids.insert(g.cell_id(v));
            via_ids_built = true;
        }
        const bool via = !via_ids.empty() && via_ids.contains(g.cell_id(c));
        int64_t x_lo, x_hi, y_lo, y_hi;  // the footprint, before clipping
        if (spacing) {  // by value: bounds whose address escaped would live in memory
            const auto box = spacing->footprint(c, via);
            if (!box) continue;
            x_lo = box->x_lo, x_hi = box->x_hi, y_lo = box->y_lo, y_hi = box->y_hi;
        } else {
            const int64_t h = via ? halos.via : halos.wire;
            if (h < 0) continue;
            x_lo = c.ix - h, x_hi = c.ix + h, y_lo = c.iy - h, y_hi = c.iy + h;
        }
        x_lo = std::max(x_lo, clip_x0), x_hi = std::min(x_hi, clip_x1);
        y_lo = std::max(y_lo, clip_y0), y_hi = std::min(y_hi, clip_y1);
        for (int64_t x = x_lo; x <= x_hi; ++x)
            for (int64_t y = y_lo; y <= y_hi; ++y) visit(static_cast<int32_t>(x), static_cast<int32_t>(y), c.layer);
    }
}

}  // namespace tovrana
