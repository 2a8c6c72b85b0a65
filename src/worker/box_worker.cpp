// The rip-up-and-reroute loop of one box.
#include "worker/box_worker.hpp"

#include <algorithm>
#include <optional>

#include "grid/sort_unique.hpp"
#include "markers/worker_markers.hpp"
#include "worker/box_geometry.hpp"
#include "worker/extract_box.hpp"
#include "worker/worker_queue.hpp"

namespace tovrana {
namespace {

// A cell is priced as a marker position while its decayed marker history is at
// least half a marker: a cell marked once stays priced until decay takes it below
// one half.
constexpr double kMarkerHistoryFloor = 0.5;
// With ripup_all every multi-terminal net crossing the box is rerouted, not only
// the nets the markers name, which disturbs far more; such a box is still accepted
// with up to this many times its initial marker count.
constexpr std::size_t kRipupAllAcceptFactor = 5;

// The footprints of the supply nets' stored routes: with the global obstacles, the
// keep-outs of every search in the box.
HashSet<int64_t> supply_keepouts(const Grid& grid, const FootprintRule& footprints) {
    HashSet<int64_t> hard;
    const Geometry& g = grid.geo();
    for (const NetId net : grid.consts.supply) {  // any order: the result is a set
        const auto slot = grid.routes.slot_of(net);
        if (!slot) continue;
        for_each_footprint(g, grid.routes.cells(*slot), grid.routes.vias(*slot), footprints, nullptr,
                           [&](int32_t x, int32_t y, int32_t layer) { hard.insert(g.cell_id(x, y, layer)); });
    }
    return hard;
}

// Nets named by markers, each once in first-seen order, supply nets left out.
std::vector<NetId> nets_named(const Grid& grid, const std::vector<Marker>& markers) {
    std::vector<NetId> nets;
    HashSet<NetId> seen;
    for (const Marker& m : markers)
        for (const NetId n : m.nets)
            if (!grid.consts.is_supply(n) && seen.insert(n).second) nets.push_back(n);
    return nets;
}

// Nets with a non-zero count change somewhere in the delta.
HashSet<NetId> nets_changed(const OccDelta& delta) {
    HashSet<NetId> nets;
    for (const auto& [cell, pending] : delta)
        for (const auto& [net, d] : pending.changes)
            if (d != 0) nets.insert(net);
    return nets;
}

// The multi-terminal nets with a cell in the box, in store order. Only the routes
// whose columns reach the box (by the batch's slot index) are looked at.
std::vector<NetId> ripup_all_seed(const Grid& grid, const WorkerQueue& queue, const LocalRoutes& none,
                                  const BoxGeometry& geometry, const SlotIndex& slots) {
    const Box& box = geometry.box();
    const int64_t gc = geometry.gc();
    std::vector<NetId> nets;
    for (const uint32_t s : slots.crossing({box.gx0 * gc, (int64_t{box.gx1} + 1) * gc - 1}, {})) {
        const NetId net = grid.routes.net(s);
        const TermSets* sets = grid.consts.termsets_of(net);
        if (sets && sets->size() >= 2 && queue.net_in_box(net, none)) nets.push_back(net);
    }
    return nets;
}

// How far around the box markers are looked for: the farthest a footprint or a
// parallel run reaches, in lines.
int32_t margin_lines(const FootprintRule& footprints, int32_t prl_halo) {
    return static_cast<int32_t>(std::max<int64_t>(footprints.reach(), prl_halo));
}

bool shares_cell(const CellList& a, const HashSet<Cell>& b) {
    return std::any_of(a.begin(), a.end(), [&](const Cell& c) { return b.contains(c); });
}

void append_path_edges(const CellList& path, EdgeList& edges) {
    for (std::size_t i = 1; i < path.size(); ++i) edges.push_back({path[i - 1], path[i]});
}

class BoxWorker {
public:
    BoxWorker(const Grid& grid, const Box& box, const BoxParams& p, const SlotIndex& slots)
        : grid_(grid),
          params_(p),
          slots_(slots),
          footprints_(grid.footprints(p.halos)),
          geometry_(grid.geo(), box, p.gc, margin_lines(footprints_, p.prl_halo)),
          queue_(grid, geometry_, p.maze_end_iter),
          hard_(supply_keepouts(grid, footprints_)),
          hard_lookup_(maze::IdLookup(grid.consts.obstacles(), grid.consts.obstacle_range()), maze::IdLookup(hard_)) {
        marker_params_.footprints = footprints_;
        marker_params_.region = geometry_.marker_region();
        marker_params_.prl_halo = p.prl_halo;
        marker_params_.prl_len = p.prl_len;
        marker_params_.vertical = p.vertical;
    }
    BoxWorker(const BoxWorker&) = delete;  // hard_lookup_ refers to hard_
    BoxWorker& operator=(const BoxWorker&) = delete;

    BoxResult run() {
        const std::vector<Marker> initial = markers();
        record_history(initial);
        if (params_.ripup_all) queue_.offer(ripup_all_seed(grid_, queue_, local_, geometry_, slots_), local_);
        else queue_.offer(nets_named(grid_, initial), local_);

        while (const auto net = queue_.pop()) {
            if (!queue_.attempt(*net) || !reroute(*net)) continue;
            const std::vector<Marker> found = markers();
            record_history(found);
            queue_.offer(nets_named(grid_, found), local_);
            for (auto& [cell, value] : history_) value *= params_.marker_decay;
            if (found.empty()) break;
        }
        return result(initial.size());
    }

private:
    std::vector<Marker> markers() const { return worker_markers(grid_, local_, marker_params_, slots_); }

    void record_history(const std::vector<Marker>& found) {
        for (const Marker& m : found)
            for (const Cell& c : m.cells) history_[grid_.geo().cell_id(c)] += 1.0;
    }

    HashSet<int64_t> marker_positions() const {
        HashSet<int64_t> cells;
        for (const auto& [cell, value] : history_)
            if (value >= kMarkerHistoryFloor) cells.insert(cell);
        return cells;
    }

    std::optional<CellList> search(NetId net, const CellList& starts, const CellList& goals,
                                   const HashSet<int64_t>& marker_pos) const {
        static const HashSet<int64_t> kEmpty;
        const maze::IdLookup none(kEmpty);
        const MazeQuery query{net,  starts, goals, params_.weights, hard_lookup_, none, maze::IdLookup(marker_pos), none,
                              geometry_.corridor(), params_.gc, true, &delta_};
        return maze_run(grid_, query);
    }

    // One attempt: cut the net at the box, reconnect its targets, commit locally.
    // A search without a path leaves no trace.
    bool reroute(NetId net) {
        const auto old = current_route(net);
        if (!old) return false;
        const Extraction cut = extract_box(old->cells, old->edges, grid_.consts.termsets_of(net), geometry_);
        const auto joined = connect(net, cut.targets, marker_positions());
        if (!joined) return false;
        commit(net, *old, rebuilt(cut, *joined));
        return true;
    }

    // A net's current route: its local one, else its stored one, else nothing. The
    // via cells kept beside it take the old footprint out. Valid until local_ changes
    // or the next call.
    struct RouteRef {
        const CellList& cells;
        const EdgeList& edges;
        const CellList& vias;
    };
    std::optional<RouteRef> current_route(NetId net) const {
        if (const LocalRoute* r = local_.find(net)) return RouteRef{r->cells, r->edges, r->vias};
        if (const auto slot = grid_.routes.slot_of(net)) {
            stored_edges_ = grid_.routes.edges(*slot);  // the store keeps them packed
            return RouteRef{grid_.routes.cells(*slot), stored_edges_, grid_.routes.vias(*slot)};
        }
        return std::nullopt;
    }

    // The cells and new edges joining a net's targets into one tree.
    struct Connection {
        HashSet<Cell> tree;
        EdgeList edges;
    };

    // Grows the tree target by target, in target order: the first two joined by a
    // search unless they touch, each later one by a search from the whole tree unless
    // it touches the tree already. Nothing when a search finds no path.
    std::optional<Connection> connect(NetId net, const std::vector<CellList>& targets,
                                      const HashSet<int64_t>& marker_pos) const {
        Connection out;
        if (targets.size() < 2) return out;
        const HashSet<Cell> second(targets[1].begin(), targets[1].end());
        if (shares_cell(targets[0], second)) {
            out.tree = second;
            out.tree.insert(targets[0].begin(), targets[0].end());
        } else if (!join(net, targets[0], targets[1], marker_pos, out)) {
            return std::nullopt;
        }
        for (std::size_t t = 2; t < targets.size(); ++t) {
            if (shares_cell(targets[t], out.tree)) continue;
            if (!join(net, CellList(out.tree.begin(), out.tree.end()), targets[t], marker_pos, out))
                return std::nullopt;
        }
        return out;
    }

    // Searches from `starts` (sorted first, so the set's order cannot matter) to
    // `goals` and adds the path to the tree.
    bool join(NetId net, CellList starts, const CellList& goals, const HashSet<int64_t>& marker_pos,
              Connection& out) const {
        sort_unique(starts);
        const auto path = search(net, starts, goals, marker_pos);
        if (!path) return false;
        append_path_edges(*path, out.edges);
        out.tree.insert(path->begin(), path->end());
        return true;
    }

    // The new route: what the cut kept, plus the tree and its edges.
    static LocalRoute rebuilt(const Extraction& cut, const Connection& joined) {
        LocalRoute fresh;
        fresh.cells = cut.fixed_cells;
        fresh.cells.insert(fresh.cells.end(), joined.tree.begin(), joined.tree.end());
        sort_unique(fresh.cells);
        fresh.edges = cut.kept_edges;
        fresh.edges.insert(fresh.edges.end(), joined.edges.begin(), joined.edges.end());
        fresh.vias = via_from_edges(fresh.edges);
        fresh.bounds = Bounds::of(fresh.cells);
        return fresh;
    }

    // Swaps the old footprint for the new one in the local delta and keeps the route.
    void commit(NetId net, const RouteRef& old, LocalRoute fresh) {
        occ_apply_local(delta_, grid_.occ, grid_.geo(), grid_.occ_footprints(), net, old.cells, old.vias, false);
        occ_apply_local(delta_, grid_.occ, grid_.geo(), grid_.occ_footprints(), net, fresh.cells, fresh.vias, true);
        local_.store(net, std::move(fresh));
    }

    BoxResult result(std::size_t initial_count) {
        const std::size_t final_count = markers().size();
        const std::size_t threshold = params_.ripup_all ? kRipupAllAcceptFactor * initial_count : initial_count;
        BoxResult out;
        bool cells_changed = false;
        std::optional<HashSet<NetId>> moved;  // nets with a non-zero count change, found on first need
        for (const auto& [net, route] : local_.in_order()) {
            const auto slot = grid_.routes.slot_of(net);
            if (!slot || grid_.routes.cells(*slot) != route.cells) {
                out.routes.push_back({net, route.cells, route.edges});
                cells_changed = true;
                continue;
            }
            // Its cells came back as stored, but a via may have moved between them and
            // with it the footprint the delta took out and put in: the route goes out
            // with that change, or occ would describe a route no one stores.
            if (!moved) moved = nets_changed(delta_);
            if (moved->contains(net)) out.routes.push_back({net, route.cells, route.edges});
        }
        // Only a change of cells makes a box worth taking.
        out.accepted = final_count <= threshold && cells_changed;
        if (!out.accepted) out.routes.clear();
        out.delta = std::move(delta_);
        return out;
    }

    const Grid& grid_;
    const BoxParams& params_;
    const SlotIndex& slots_;
    FootprintRule footprints_;  // of the markers and keep-outs: the call's halos, or the spacing rule
    BoxGeometry geometry_;
    WorkerQueue queue_;
    HashSet<int64_t> hard_;       // the supply nets' footprints
    maze::IdLookup hard_lookup_;  // the global obstacles and hard_, for every search of the box
    MarkerParams marker_params_;
    LocalRoutes local_;
    OccDelta delta_;
    HashMap<int64_t, double> history_;
    mutable EdgeList stored_edges_;  // the edges of the last stored route current_route gave
};

}  // namespace

BoxResult box_worker(const Grid& grid, const Box& box, const BoxParams& params, const SlotIndex& slots) {
    return BoxWorker(grid, box, params, slots).run();
}

}  // namespace tovrana
