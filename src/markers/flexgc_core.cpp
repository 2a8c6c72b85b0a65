#include "markers/flexgc_core.hpp"

#include <algorithm>

#include "markers/cover_pass.hpp"
#include "markers/prl_pass.hpp"

namespace tovrana {

namespace {

// Whether a net with these bounds can add to the cover markers of a call clipped
// to `region`: a footprint square reaching the region. Nets reaching outside the
// grid plane are always kept, since their cell ids may alias in-plane cells.
bool may_cover(const Geometry& g, const Bounds& b, const Region& r, const MarkerParams& p) {
    if (b.empty) return false;
    if (!g.in_plane(b.x0, b.y0) || !g.in_plane(b.x1, b.y1)) return true;
    const int64_t h = p.footprints.reach();
    return b.x0 - h <= r.x1 && b.x1 + h >= r.x0 && b.y0 - h <= r.y1 && b.y1 + h >= r.y0;
}

// Whether a net with these bounds has a cell on a track that a parallel-run marker
// in the region can use (within prl_halo of the region's tracks, either axis).
bool may_run(const Geometry& g, const Bounds& b, const Region& r, const MarkerParams& p) {
    if (b.empty) return false;
    if (!g.in_plane(b.x0, b.y0) || !g.in_plane(b.x1, b.y1)) return true;
    const int64_t d = p.prl_halo;
    return (b.x0 <= r.x1 + d && b.x1 >= r.x0 - d) || (b.y0 <= r.y1 + d && b.y1 >= r.y0 - d);
}

Geometry plane(int32_t nx, int32_t ny) {
    Geometry g;
    g.nx = nx;
    g.ny = ny;
    g.layer_stride = wrap_mul_add(nx, ny, 0);
    return g;
}

}  // namespace

bool culls_by_region(int32_t nx, int32_t ny, const MarkerParams& params) {
    const int64_t stride = plane(nx, ny).layer_stride;
    return params.region && stride > 0 && stride < (int64_t{1} << 31);
}

std::vector<Marker> flexgc_core(int32_t nx, int32_t ny, std::span<const NetRouteView> nets,
                                const MarkerParams& params) {
    const Geometry g = plane(nx, ny);
    std::vector<Marker> out;
    if (!culls_by_region(nx, ny, params)) {
        markers::cover_pass(g, nets, params, out);
        markers::prl_pass(g, nets, params, out);
        return out;
    }
    // Each pass gets the nets that can reach the region in its own way. Leaving out
    // the others keeps the order of those left, and with it every first-touch
    // decision that reaches the result.
    const bool runs = params.prl_halo > 0 && params.prl_len > 0;
    std::vector<NetRouteView> cover, run;
    for (const NetRouteView& n : nets) {
        if (!n.bounds || may_cover(g, *n.bounds, *params.region, params)) cover.push_back(n);
        if (runs && (!n.bounds || may_run(g, *n.bounds, *params.region, params))) run.push_back(n);
    }
    markers::cover_pass(g, cover, params, out);
    markers::prl_pass(g, run, params, out);
    return out;
}

}  // namespace tovrana
