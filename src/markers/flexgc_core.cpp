#include "markers/flexgc_core.hpp"

#include <algorithm>

#include "markers/cover_pass.hpp"
#include "markers/prl_pass.hpp"

namespace tovrana {

namespace {

// Whether a net with these bounds can add anything to a call clipped to `region`:
// a footprint square reaching the region, or a cell on a track that a
// parallel-run marker in the region can use (within prl_halo of the region's
// tracks, either axis). Nets reaching outside the grid plane are always kept,
// since their cell ids may alias in-plane cells.
bool may_matter(const Geometry& g, const Bounds& b, const Region& r, const MarkerParams& p) {
    if (b.empty) return false;
    if (!g.in_plane(b.x0, b.y0) || !g.in_plane(b.x1, b.y1)) return true;
    const int64_t h = p.footprints.reach();
    const bool cover = b.x0 - h <= r.x1 && b.x1 + h >= r.x0 && b.y0 - h <= r.y1 && b.y1 + h >= r.y0;
    if (cover || p.prl_halo <= 0 || p.prl_len <= 0) return cover;
    const int64_t d = p.prl_halo;
    return (b.x0 <= r.x1 + d && b.x1 >= r.x0 - d) || (b.y0 <= r.y1 + d && b.y1 >= r.y0 - d);
}

}  // namespace

std::vector<Marker> flexgc_core(int32_t nx, int32_t ny, std::span<const NetRouteView> nets,
                                const MarkerParams& params) {
    Geometry g;
    g.nx = nx;
    g.ny = ny;
    g.layer_stride = wrap_mul_add(nx, ny, 0);
    // Leaving out nets that cannot reach the region keeps the others' order, and
    // with it every first-touch decision that reaches the result.
    std::vector<NetRouteView> culled;
    if (params.region && g.layer_stride > 0 && g.layer_stride < (int64_t{1} << 31)) {
        culled.reserve(nets.size());
        for (const NetRouteView& n : nets)
            if (!n.bounds || may_matter(g, *n.bounds, *params.region, params)) culled.push_back(n);
        nets = culled;
    }
    std::vector<Marker> out;
    markers::cover_pass(g, nets, params, out);
    markers::prl_pass(g, nets, params, out);
    return out;
}

}  // namespace tovrana
