#include "markers/worker_markers.hpp"

#include <algorithm>

namespace tovrana {

namespace {

// The slots whose routes (stored, or the worker's own) may reach the region: the
// index's routes near the region's columns, or near its rows when parallel runs
// count, and every net the worker rerouted. A superset of what flexgc_core keeps.
std::vector<uint32_t> slots_near(const RouteStore& store, const LocalRoutes& local, const MarkerParams& params,
                                 const SlotIndex& index) {
    const Region& r = *params.region;
    const bool runs = params.prl_halo > 0 && params.prl_len > 0;
    const int64_t d = runs ? params.prl_halo : 0;
    const int64_t m = std::max<int64_t>(params.footprints.reach(), d);
    const SlotIndex::Band columns{int64_t{r.x0} - m, int64_t{r.x1} + m};
    const SlotIndex::Band rows = runs ? SlotIndex::Band{int64_t{r.y0} - d, int64_t{r.y1} + d} : SlotIndex::Band{};
    std::vector<uint32_t> slots = index.crossing(columns, rows);
    for (const auto& [net, route] : local.in_order())
        if (const auto slot = store.slot_of(net)) slots.push_back(static_cast<uint32_t>(*slot));
    std::sort(slots.begin(), slots.end());
    slots.erase(std::unique(slots.begin(), slots.end()), slots.end());
    return slots;
}

}  // namespace

std::vector<Marker> worker_markers(const Grid& grid, const LocalRoutes& local, const MarkerParams& params,
                                   const SlotIndex& index) {
    const RouteStore& store = grid.routes;
    std::vector<NetRouteView> nets;
    auto add = [&](std::size_t s) {
        const NetId net = store.net(s);
        if (const LocalRoute* r = local.find(net)) nets.push_back({net, r->cells, r->vias, &r->bounds});
        else nets.push_back({net, store.cells(s), store.vias(s), &store.bounds(s)});
    };
    const int32_t nx = grid.geo().nx, ny = grid.geo().ny;
    if (culls_by_region(nx, ny, params)) {
        for (const uint32_t s : slots_near(store, local, params, index)) add(s);
    } else {
        nets.reserve(store.slot_count());
        for (std::size_t s = 0; s < store.slot_count(); ++s) add(s);
    }
    return flexgc_core(nx, ny, nets, params);
}

}  // namespace tovrana
