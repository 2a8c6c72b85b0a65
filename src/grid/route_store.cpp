#include "grid/route_store.hpp"

namespace tovrana {

CellList via_from_edges(const EdgeList& edges) {
    CellList vias;
    HashSet<Cell> seen;
    for (const Edge& e : edges) {
        if (e.a.ix != e.b.ix || e.a.iy != e.b.iy || e.a.layer == e.b.layer) continue;
        if (seen.insert(e.a).second) vias.push_back(e.a);
        if (seen.insert(e.b).second) vias.push_back(e.b);
    }
    return vias;
}

void RouteStore::init(std::vector<NetRoute> nets) {
    std::vector<NetId> slot_net;
    std::vector<CellList> slot_cells, slot_vias;
    std::vector<EdgeList> slot_edges;
    std::vector<Bounds> slot_bounds;
    HashMap<NetId, std::size_t> net_slot;
    slot_net.reserve(nets.size());
    slot_cells.reserve(nets.size());
    slot_vias.reserve(nets.size());
    slot_edges.reserve(nets.size());
    slot_bounds.reserve(nets.size());
    for (NetRoute& r : nets) {
        net_slot[r.net] = slot_net.size();
        slot_net.push_back(r.net);
        slot_vias.push_back(via_from_edges(r.edges));
        slot_bounds.push_back(Bounds::of(r.cells));
        slot_cells.push_back(std::move(r.cells));
        slot_edges.push_back(std::move(r.edges));
    }
    // Built aside and swapped in, so a failed allocation leaves the old store whole.
    slot_net_.swap(slot_net);
    slot_cells_.swap(slot_cells);
    slot_vias_.swap(slot_vias);
    slot_edges_.swap(slot_edges);
    slot_bounds_.swap(slot_bounds);
    net_slot_.swap(net_slot);
}

void RouteStore::update(NetId net, CellList cells, EdgeList edges) {
    const auto slot = slot_of(net);
    if (!slot) return;
    CellList vias = via_from_edges(edges);
    slot_bounds_.at(*slot) = Bounds::of(cells);
    slot_vias_.at(*slot) = std::move(vias);
    slot_cells_.at(*slot) = std::move(cells);
    slot_edges_.at(*slot) = std::move(edges);
}

std::optional<std::size_t> RouteStore::slot_of(NetId net) const {
    const auto it = net_slot_.find(net);
    if (it == net_slot_.end()) return std::nullopt;
    return it->second;
}

}  // namespace tovrana
