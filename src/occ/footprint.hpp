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
#include <type_traits>

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

// Calls visit(x, y, layer), or visit(x, y, layer, body) where body tells that
// (x, y) is the route cell's own position. Clamps the loops to the grid before
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
    const auto emit = [&](int64_t x, int64_t y, int32_t layer, bool body) {
        if constexpr (std::is_invocable_v<Visit, int32_t, int32_t, int32_t, bool>)
            visit(static_cast<int32_t>(x), static_cast<int32_t>(y), layer, body);
        else
            visit(static_cast<int32_t>(x), static_cast<int32_t>(y), layer);
    };
    const int64_t reach = rule.reach();
    HashSet<int64_t> via_ids;  // built on the first cell whose footprint can reach the clip
    bool via_ids_built = vias.empty();
    for (const Cell& c : cells) {
        // Footprints that miss the clip rectangle at the largest reach are skipped
        // before the via look-up: a net far from a region costs a few comparisons per cell.
        if (c.ix + reach < clip_x0 || c.ix - reach > clip_x1 || c.iy + reach < clip_y0 || c.iy - reach > clip_y1)
            continue;
        if (!via_ids_built) {
            via_ids.reserve(vias.size());
            for (const Cell& v : vias) via_ids.insert(g.cell_id(v));
            via_ids_built = true;
        }
        const bool via = !via_ids.empty() && via_ids.contains(g.cell_id(c));
        int64_t x_lo, x_hi, y_lo, y_hi;
        if (rule.spacing) {
            const TrackModel& t = rule.spacing->tracks();
            if (!g.in_plane(c.ix, c.iy) || c.layer < 0 || static_cast<std::size_t>(c.layer) >= t.layer_count()) continue;
            const SpacingBox& box = rule.spacing->box(c.layer, via);
            int32_t lo = c.ix, hi = c.ix, bottom = c.iy, top = c.iy;
            if (box.dx > 0 && box.dy > 0) {
                SpacingRule::lines_within(t.xs(), c.ix, box.dx, lo, hi);
                SpacingRule::lines_within(t.ys(), c.iy, box.dy, bottom, top);
            }
            x_lo = std::max<int64_t>(lo, clip_x0), x_hi = std::min<int64_t>(hi, clip_x1);
            y_lo = std::max<int64_t>(bottom, clip_y0), y_hi = std::min<int64_t>(top, clip_y1);
        } else {
            const int64_t h = via ? rule.halos.via : rule.halos.wire;
            if (h < 0) continue;
            x_lo = std::max<int64_t>(c.ix - h, clip_x0), x_hi = std::min<int64_t>(c.ix + h, clip_x1);
            y_lo = std::max<int64_t>(c.iy - h, clip_y0), y_hi = std::min<int64_t>(c.iy + h, clip_y1);
        }
        for (int64_t x = x_lo; x <= x_hi; ++x)
            for (int64_t y = y_lo; y <= y_hi; ++y) emit(x, y, c.layer, x == c.ix && y == c.iy);
    }
}

}  // namespace tovrana
