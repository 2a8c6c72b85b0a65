#pragma once
// Per-run constants the box workers read: terminal sets, name ranks, supply nets
// and global obstacles. Each setter replaces its fields wholesale.
#include <limits>
#include <vector>

#include "grid/id_range.hpp"
#include "grid/types.hpp"

namespace tovrana {

using TermSets = std::vector<CellList>;

struct WorkerConsts {
    HashMap<NetId, TermSets> termsets;
    HashMap<NetId, int32_t> name_rank;
    HashSet<NetId> supply;

    static constexpr int32_t kUnranked = std::numeric_limits<int32_t>::max();

    const TermSets* termsets_of(NetId net) const {
        const auto it = termsets.find(net);
        return it == termsets.end() ? nullptr : &it->second;
    }
    int32_t rank_of(NetId net) const {
        const auto it = name_rank.find(net);
        return it == name_rank.end() ? kUnranked : it->second;
    }
    bool is_supply(NetId net) const { return supply.contains(net); }

    // The global obstacles, cell ids, with their range kept beside them: every box
    // worker views them, and neither a copy nor a scan of a large design's obstacles
    // may be paid per box.
    const HashSet<int64_t>& obstacles() const { return obstacles_; }
    IdRange obstacle_range() const { return obstacle_range_; }
    void set_obstacles(HashSet<int64_t> ids) {
        obstacle_range_ = IdRange::of(ids);
        obstacles_.swap(ids);
    }

private:
    HashSet<int64_t> obstacles_;
    IdRange obstacle_range_;
};

}  // namespace tovrana
