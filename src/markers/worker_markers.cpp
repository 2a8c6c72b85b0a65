#include "markers/worker_markers.hpp"

namespace tovrana {

std::vector<Marker> worker_markers(const Grid& grid, const LocalRoutes& local, const MarkerParams& params) {
    const RouteStore& store = grid.routes;
    std::vector<NetRouteView> nets;
    nets.reserve(store.slot_count());
    for (std::size_t s = 0; s < store.slot_count(); ++s) {
        const NetId net = store.net(s);
        if (const LocalRoute* r = local.find(net)) nets.push_back({net, r->cells, r->vias, &r->bounds});
        else nets.push_back({net, store.cells(s), store.vias(s), &store.bounds(s)});
    }
    return flexgc_core(grid.geo().nx, grid.geo().ny, nets, params);
}

}  // namespace tovrana
