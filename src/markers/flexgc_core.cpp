#include "markers/flexgc_core.hpp"

#include "markers/cover_pass.hpp"
#include "markers/prl_pass.hpp"

namespace tovrana {

std::vector<Marker> flexgc_core(int32_t nx, int32_t ny, std::span<const MarkerNet> nets,
                                const MarkerParams& params) {
    Geometry g;
    g.nx = nx;
    g.ny = ny;
    g.layer_stride = wrap_mul_add(nx, ny, 0);
    std::vector<Marker> out;
    markers::cover_pass(g, nets, params, out);
    markers::prl_pass(g, nets, params, out);
    return out;
}

}  // namespace tovrana
