// The merge of a batch: in-box route composition, then the occupancy fold, each on
// several threads: a net's portions are composed in box order by one thread, and a
// cell's changes folded in box order by one thread.
#include "batch/route_boxes.hpp"
#include "grid/parallel.hpp"
#include "grid/sort_unique.hpp"
#include "worker/box_geometry.hpp"

namespace tovrana {
namespace {

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

// One changed net and its worked portions, in box order.
struct NetPortions {
    NetId net = 0;
    std::vector<std::pair<std::size_t, const NetRoute*>> portions;  // (box index, in-box route)
};

}  // namespace

std::vector<NetRoute> merge_batch(Grid& grid, const std::vector<Box>& boxes, const std::vector<BoxOutcome>& outcomes,
                                  int32_t gc, int32_t n_threads) {
    // Nets in the order they first appear, box by box: the order of the result.
    std::vector<NetPortions> nets;
    HashMap<NetId, std::size_t> index;
    std::vector<std::span<const OccChange>> changes;
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        if (!outcomes[i].accepted) continue;
        changes.emplace_back(outcomes[i].changes);
        for (const NetRoute& worked : outcomes[i].routes) {
            const auto [it, fresh] = index.try_emplace(worked.net, nets.size());
            if (fresh) nets.push_back(NetPortions{worked.net, {}});
            nets[it->second].portions.emplace_back(i, &worked);
        }
    }
    // Composition reads the store only, and the fold allocates before it writes: a
    // failing merge leaves occ as it was.
    std::vector<NetRoute> out(nets.size());
    const RouteStore& store = grid.routes;
    run_tasks(nets.size(), n_threads, [&](std::size_t k) {
        const NetPortions& n = nets[k];
        NetRoute route{n.net, {}, {}};
        if (const auto slot = store.slot_of(n.net)) route = NetRoute{n.net, store.cells(*slot), store.edges(*slot)};
        for (const auto& [box, worked] : n.portions) route = compose(std::move(route), *worked, boxes.at(box), gc);
        out[k] = std::move(route);
    });
    grid.occ.fold(changes, n_threads);
    return out;
}

}  // namespace tovrana
