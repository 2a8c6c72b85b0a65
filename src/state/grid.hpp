#pragma once
// The Grid: the routing grid fixed at construction, plus every piece of routing
// state later calls load (route store, occupancy, worker constants). Grid arrays
// never change after construction; workers read the whole object without locks
// while no call can write it.
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "grid/bitset.hpp"
#include "grid/geometry.hpp"
#include "grid/net_guides.hpp"
#include "grid/route_store.hpp"
#include "grid/track_model.hpp"
#include "grid/worker_consts.hpp"
#include "occ/occ_map.hpp"
#include "occ/spacing_rule.hpp"

namespace tovrana {

struct ViaRule {
    int32_t layer_a = 0;
    int32_t layer_b = 0;
    double cost = 0.0;
};

struct BlockedEntry { int32_t layer, ix, iy; };
struct PadEntry { int32_t layer, ix, iy; NetId owner; };
struct Column { int32_t ix, iy; };

class Grid {
public:
    // Throws Panic("capacity overflow") when nx*ny*nz does not fit or is negative.
    Grid(int32_t nx, int32_t ny, int32_t nz, const std::vector<BlockedEntry>& blocked,
         const std::vector<PadEntry>& pad_owner, const std::vector<Column>& via_blocked,
         std::vector<ViaRule> via_index);

    const Geometry& geo() const { return geo_; }

    // A cell a route of `net` may occupy: inside, not blocked, not another net's pad.
    bool enterable(const Cell& c, NetId net) const {
        if (!geo_.inside(c)) return false;
        const auto id = static_cast<std::size_t>(geo_.cell_id(c));
        if (blocked_.test(id)) return false;
        return !pads_.test(id) || pad_owner(id) == net;
    }
    bool blocked(std::size_t id) const { return blocked_.test(id); }
    // The owner of an in-grid cell's pad, or -1.
    NetId pad_owner(std::size_t id) const {
        if (!pads_.test(id)) return -1;
        return pad_owner_.find(static_cast<int64_t>(id))->second;
    }
    const std::vector<ViaRule>& via_index() const { return via_index_; }
    // Whether the column of an in-grid cell is listed in via_blocked.
    bool via_blocked(int32_t ix, int32_t iy) const {
        return via_blocked_.test(static_cast<std::size_t>(geo_.column_key(ix, iy)));
    }

    // Rules a caller may add after construction, each replaced by its own setter.
    // The track model: where wires run, what steps cost (maze_run). Replacing it
    // rebuilds the spacing rule over the new coordinates.
    void set_track_model(std::shared_ptr<const TrackModel> tracks);
    const TrackModel* tracks() const { return tracks_.get(); }
    // Cells (ids of in-grid cells) where no via may land.
    void set_no_via_cells(HashSet<int64_t> cells);
    bool no_via_cell(int64_t id) const { return !no_via_.empty() && no_via_.contains(id); }
    bool has_no_via_cells() const { return !no_via_.empty(); }
    // Spacing footprints (none clears them); throws std::invalid_argument, changing
    // nothing, without a track model or for a table that does not fit it.
    void set_spacing(std::optional<std::vector<SpacingLayer>> layers);
    // The footprints of a call given these halos: the spacing rule's when one is set.
    FootprintRule footprints(Halos halos) const { return FootprintRule{halos, spacing_.get()}; }
    // Route guides per net (none: every net is searched without guides).
    void set_guides(std::shared_ptr<const NetGuides> guides) { guides_ = std::move(guides); }
    const NetGuides* guides() const { return guides_.get(); }
    // Digest of the four rules above and of the footprints occ was built with:
    // equal for grids given the same calls, in every process.
    uint64_t rules_digest() const;

    // The route store and the cells of its routes (route_shape), changed together.
    void init_routes(std::vector<NetRoute> nets);
    // With follow_occ, occ follows too: the old stored route's footprint out, the new
    // one's in, by the footprints of the last occ_init (as a batch's merge does).
    // Everything that can fail comes first: a failure changes nothing.
    void update_route(NetId net, CellList cells, EdgeList edges, bool follow_occ = false);
    // Cell id -> net -> how many times the net's stored routes list the cell: the
    // search's route shape when the caller passes none. Built from the store by the
    // first call after init_routes (safe from several readers at once), then kept
    // current by update_route; a driver that never asks for it pays nothing.
    const OccMap& route_shape() const;
    // Whether the shape, if built, equals one built afresh from the store (for checks).
    bool shape_matches_routes() const;

    // Bytes held by each part of the state, for measurements.
    std::vector<std::pair<const char*, std::size_t>> memory_usage() const;

    RouteStore routes;  // change it through init_routes and update_route
    OccMap occ;
    Halos occ_halos;  // the halos of the last occ_init, used by every local delta
    std::shared_ptr<const SpacingRule> occ_spacing;  // and its spacing rule, if any
    FootprintRule occ_footprints() const { return FootprintRule{occ_halos, occ_spacing.get()}; }
    // Records what occ was just built with: these halos and the current spacing rule.
    void set_occ_footprints(Halos halos) {
        occ_halos = halos;
        occ_spacing = spacing_;
    }
    WorkerConsts consts;

private:
    Geometry geo_;
    BitSet blocked_;
    BitSet pads_;  // cells with an owner >= 0 in pad_owner_
    HashMap<int64_t, NetId> pad_owner_;  // pads are few: a map, not an array over the grid
    std::vector<ViaRule> via_index_;
    BitSet via_blocked_;  // per column key of the grid
    std::shared_ptr<const TrackModel> tracks_;
    HashSet<int64_t> no_via_;
    uint64_t no_via_digest_ = 0;
    std::shared_ptr<const SpacingRule> spacing_;
    mutable std::mutex shape_lock_;              // guards building shape_ under a shared borrow
    mutable std::unique_ptr<OccMap> shape_;  // null until route_shape() is asked for
    std::shared_ptr<const NetGuides> guides_;
};

}  // namespace tovrana
