#pragma once
// The Grid: the routing grid fixed at construction, plus every piece of routing
// state later calls load (route store, occupancy, worker constants). Grid arrays
// never change after construction; workers read the whole object without locks
// while no call can write it.
#include <cstdint>
#include <vector>

#include "grid/geometry.hpp"
#include "grid/route_store.hpp"
#include "grid/worker_consts.hpp"
#include "occ/occ_map.hpp"

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
        const NetId owner = pad_owner_[id];
        return !blocked_[id] && (owner < 0 || owner == net);
    }
    bool blocked(std::size_t id) const { return blocked_[id] != 0; }
    NetId pad_owner(std::size_t id) const { return pad_owner_[id]; }
    const std::vector<ViaRule>& via_index() const { return via_index_; }
    // Whether the column of an in-grid cell is listed in via_blocked.
    bool via_blocked(int32_t ix, int32_t iy) const {
        return via_blocked_[static_cast<std::size_t>(geo_.column_key(ix, iy))] != 0;
    }

    RouteStore routes;
    OccMap occ;
    Halos occ_halos;  // the halos of the last occ_init, used by every local delta
    WorkerConsts consts;

private:
    Geometry geo_;
    std::vector<uint8_t> blocked_;
    std::vector<NetId> pad_owner_;
    std::vector<ViaRule> via_index_;
    std::vector<uint8_t> via_blocked_;  // per column key of the grid
};

}  // namespace tovrana
