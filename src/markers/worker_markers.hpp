#pragma once
// The box worker's marker check: the engine over the route store in slot order,
// with the worker's local routes standing in for their nets' stored routes.
#include "markers/flexgc_core.hpp"
#include "state/grid.hpp"

namespace tovrana {

struct LocalRoute {
    CellList cells;
    EdgeList edges;
    CellList vias;  // via_from_edges(edges), kept beside the route
    Bounds bounds;  // of cells
};

// A worker's rerouted nets in commit order (so everything derived from them is
// deterministic), indexed by net id.
class LocalRoutes {
public:
    const LocalRoute* find(NetId net) const {
        const auto it = index_.find(net);
        return it == index_.end() ? nullptr : &routes_[it->second].second;
    }
    void store(NetId net, LocalRoute route) {
        const auto [it, fresh] = index_.try_emplace(net, routes_.size());
        if (fresh) routes_.emplace_back(net, std::move(route));
        else routes_[it->second].second = std::move(route);
    }
    const std::vector<std::pair<NetId, LocalRoute>>& in_order() const { return routes_; }

private:
    std::vector<std::pair<NetId, LocalRoute>> routes_;
    HashMap<NetId, std::size_t> index_;
};

// Markers over every slot of the store (nets without a slot take no part), the
// stored routes read in place; `params.region` is always set by the worker.
std::vector<Marker> worker_markers(const Grid& grid, const LocalRoutes& local, const MarkerParams& params);

}  // namespace tovrana
