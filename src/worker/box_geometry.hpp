#pragma once
// Where a box lies: its cell test, its corridor of gcell keys and its marker region.
#include "grid/box.hpp"
#include "grid/geometry.hpp"
#include "occ/footprint.hpp"

namespace tovrana {

class BoxGeometry {
public:
    // `gc` must be positive (the batch checks it before any worker starts).
    BoxGeometry(const Geometry& g, const Box& box, int32_t gc, int32_t margin_halo);

    // In the box on any layer: gx0 <= ix/gc <= gx1 and gy0 <= iy/gc <= gy1.
    bool contains(const Cell& c) const { return contains(box_, gc_, c); }
    static bool contains(const Box& b, int32_t gc, const Cell& c) {
        const int32_t gx = checked_div(c.ix, gc), gy = checked_div(c.iy, gc);
        return b.gx0 <= gx && gx <= b.gx1 && b.gy0 <= gy && gy <= b.gy1;
    }

    const Box& box() const { return box_; }
    int32_t gc() const { return gc_; }
    // Gcell keys of the box. Only gcells that hold grid cells are listed: the search
    // never enters a cell outside the grid, so the others could never matter.
    const HashSet<int64_t>& corridor() const { return corridor_; }
    // The box's cells widened by margin_halo + 1 and clamped to the grid.
    const Region& marker_region() const { return region_; }

private:
    Box box_;
    int32_t gc_;
    HashSet<int64_t> corridor_;
    Region region_;
};

}  // namespace tovrana
