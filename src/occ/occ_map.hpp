#pragma once
// The occupancy map: which nets' halo footprints cover each cell, and how often.
// Canonical form: every stored count is >= 1 and no cell holds an empty net list,
// so two maps are equal exactly when they hold the same (cell, net, count) triples.
#include <climits>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include <boost/container/small_vector.hpp>

#include "grid/geometry.hpp"
#include "occ/footprint.hpp"

namespace tovrana {

// A cell's nets with their counts; short, so a flat list beats a nested hash map.
// Most cells hold a single net, which then sits inside the map's slot: reading a
// cell costs the hash probe alone, with no second pointer to chase.
template <class Count>
using NetCounts = boost::container::small_vector<std::pair<NetId, Count>, 1>;

// Position of `net` in the list, or the list's size when absent.
template <class Count>
std::size_t index_of(const NetCounts<Count>& list, NetId net) {
    std::size_t i = 0;
    while (i < list.size() && list[i].first != net) ++i;
    return i;
}
template <class Count>
Count count_of(const NetCounts<Count>& list, NetId net) {
    const std::size_t i = index_of(list, net);
    return i < list.size() ? list[i].second : Count{0};
}
// Adds `step` to the net's entry, creating it (from 0) when absent.
template <class Count>
void bump(NetCounts<Count>& list, NetId net, Count step) {
    const std::size_t i = index_of(list, net);
    if (i < list.size()) list[i].second = static_cast<Count>(list[i].second + step);
    else list.emplace_back(net, step);
}

// The global map, plus a dense per-cell digest of it that answers the search's
// question "does a net other than n cover this cell?" from one array read with
// the spatial locality of the grid, instead of a hash probe per cell.
class OccMap {
public:
    using Cells = HashMap<int64_t, NetCounts<uint32_t>>;

    const Cells& cells() const { return cells_; }
    bool empty() const { return cells_.empty(); }

    // Replaces the whole map; the digest then covers every in-grid cell id.
    void assign(Cells&& cells, int64_t cell_count);
    // Sets the lists of several cells at once; an empty list removes its cell.
    // Every allocation happens before the first change, so a failure leaves the
    // map as it was.
    void replace(Cells&& lists);

    // Whether a net other than `net` covers the cell in this map alone.
    bool has_other(int64_t cell, NetId net) const {
        if (cell >= 0 && static_cast<uint64_t>(cell) < digest_.size()) {
            const int32_t d = digest_[static_cast<std::size_t>(cell)];
            if (d == kNone) return false;
            if (d == kMany) return true;  // nets in a list are distinct
            if (d != kAsk) return d != net;
        }
        const auto it = cells_.find(cell);
        if (it == cells_.end()) return false;
        for (const auto& entry : it->second) {
            if (entry.first != net) return true;
        }
        return false;
    }

private:
    // Digest of a cell: no net, several nets, or the one net's id. A lone net whose
    // id collides with one of the three markers reads as kAsk: look in the map.
    static constexpr int32_t kNone = INT32_MIN;
    static constexpr int32_t kMany = INT32_MIN + 1;
    static constexpr int32_t kAsk = INT32_MIN + 2;
    static int32_t digest_of(const NetCounts<uint32_t>& list) {
        if (list.empty()) return kNone;
        if (list.size() > 1) return kMany;
        const NetId net = list[0].first;
        return net <= kAsk ? kAsk : net;
    }

    Cells cells_;
    std::vector<int32_t> digest_;  // indexed by cell id, for ids 0 .. size-1
};
// A box worker's signed pending changes over the global map; entries may sit at 0.
using OccDelta = HashMap<int64_t, NetCounts<int32_t>>;

// Rebuilds `occ` from scratch with the given footprints.
void occ_build(OccMap& occ, const Geometry& g, std::span<const NetRouteView> nets, const FootprintRule& rule);

// Wrapping sum of per-(cell, net, count) contributions; independent of map order.
uint64_t occ_signature(const OccMap& occ);

// Adds (add) or removes one footprint of `net` to or from the delta.
void occ_apply_local(OccDelta& delta, const Geometry& g, const FootprintRule& rule, NetId net,
                     std::span<const Cell> cells, std::span<const Cell> vias, bool add);

// Folds the deltas into `occ` one after the other, keeping it canonical: zero
// changes are skipped, a count that would fall to 0 or below is removed, and an
// emptied cell is removed. The touched cells' new lists are built aside and put in
// with OccMap::replace, so a failure (an allocation) leaves `occ` as it was.
void occ_merge_local(OccMap& occ, std::span<const OccDelta* const> deltas);

// True when a net other than `net` is present at the cell: its global count plus
// its pending change in `delta` is positive.
bool occ_has_pending_foreign(const OccMap& occ, const OccDelta& delta, int64_t cell, NetId net);

// The same with an optional delta: without one, `occ` alone decides.
inline bool occ_has_foreign(const OccMap& occ, const OccDelta* delta, int64_t cell, NetId net) {
    return delta ? occ_has_pending_foreign(occ, *delta, cell, net) : occ.has_other(cell, net);
}

}  // namespace tovrana
