#pragma once
// Per-run constants the box workers read: terminal sets, name ranks, supply nets
// and global obstacles. Each setter replaces its fields wholesale.
#include <limits>
#include <vector>

#include "grid/types.hpp"

namespace tovrana {

using TermSets = std::vector<CellList>;

struct WorkerConsts {
    HashMap<NetId, TermSets> termsets;
    HashMap<NetId, int32_t> name_rank;
    HashSet<NetId> supply;
    HashSet<int64_t> obstacles;  // cell ids

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
};

}  // namespace tovrana
