// The serial merge of a batch: in-box route composition, then the occupancy fold.
#include "batch/route_boxes.hpp"
#include "grid/ordered_map.hpp"
#include "worker/box_geometry.hpp"
#include "grid/sort_unique.hpp"

namespace tovrana {
namespace {

// Composed routes in first-composed order.
using Composition = InsertionOrderedMap<NetId, NetRoute>;

// The route the box's portion is composed onto: an earlier box's composition, else
// the stored route, else nothing.
NetRoute base_route(Composition& composed, const RouteStore& store, NetId net) {
    if (NetRoute* earlier = composed.find(net)) return std::move(*earlier);
    if (const auto slot = store.slot_of(net)) return NetRoute{net, store.cells(*slot), store.edges(*slot)};
    return NetRoute{net, {}, {}};
}

NetRoute compose(NetRoute base, const NetRoute& worked, const Box& box, int32_t gc) {
    auto inside = [&](const Cell& c) { return BoxGeometry::contains(box, gc, c); };
    NetRoute out{worked.net, {}, {}};
    for (const Cell& c : base.cells)
        if (!inside(c)) out.cells.push_back(c);
    for (const Cell& c : worked.cells)
        if (inside(c)) out.cells.push_back(c);
    if (out.cells.size() >= 2) sort_unique(out.cells);
    for (const Edge& e : base.edges)
        if (!inside(e.a) || !inside(e.b)) out.edges.push_back(e);
    for (const Edge& e : worked.edges)
        if (inside(e.a) && inside(e.b)) out.edges.push_back(e);
    return out;
}

}  // namespace

std::vector<NetRoute> merge_batch(Grid& grid, const std::vector<Box>& boxes, std::vector<BoxResult> results,
                                  int32_t gc) {
    // Composition reads the store only, and the occupancy fold allocates before it
    // writes: a failing merge leaves occ as it was.
    Composition composed;
    std::vector<const OccDelta*> accepted;
    for (std::size_t i = 0; i < results.size(); ++i) {
        if (!results[i].accepted) continue;
        accepted.push_back(&results[i].delta);
        for (const NetRoute& worked : results[i].routes)
            composed.store(worked.net, compose(base_route(composed, grid.routes, worked.net), worked, boxes.at(i), gc));
    }
    std::vector<NetRoute> out;
    out.reserve(composed.in_order().size());
    for (auto& entry : composed.take()) out.push_back(std::move(entry.second));
    occ_merge_local(grid.occ, accepted);
    return out;
}

}  // namespace tovrana
