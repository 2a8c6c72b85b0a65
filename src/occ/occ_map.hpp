#pragma once
// The occupancy map: which nets' halo footprints cover each cell, and how often.
// Canonical form: every stored count is >= 1 and no cell holds an empty net list,
// so two maps are equal exactly when they hold the same (cell, net, count) triples.
#include <array>
#include <climits>
#include <cstdint>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include <boost/container/small_vector.hpp>

#include "grid/geometry.hpp"
#include "grid/hash_mix.hpp"
#include "occ/footprint.hpp"

namespace tovrana {

// A cell's nets with their counts; short, so a flat list beats a nested hash map.
template <class Count>
using NetCounts = boost::container::small_vector<std::pair<NetId, Count>, 1>;

// Position of `net` in the list, or the list's size when absent.
template <class List>
std::size_t index_of(const List& list, NetId net) {
    std::size_t i = 0;
    while (i < list.size() && list[i].first != net) ++i;
    return i;
}
template <class List>
auto count_of(const List& list, NetId net) {
    using Count = std::remove_cvref_t<decltype(list[0].second)>;
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

// One count change of a net at a cell; lists of them are ordered by (cell, net).
struct OccChange {
    int64_t cell = 0;
    NetId net = 0;
    int32_t d = 0;
    auto operator<=>(const OccChange&) const = default;
};

// The checksum term of one (cell, net, count) triple. The multipliers fix the
// checksum's value, which callers compare across runs and grids: changing one
// changes every signature.
inline uint64_t occ_term(int64_t cell, NetId net, uint32_t count) {
    const uint64_t k = static_cast<uint64_t>(cell) * 1000003ull;
    const uint64_t n = static_cast<uint64_t>(static_cast<int64_t>(net)) * 2654435761ull;
    const uint64_t c = static_cast<uint64_t>(count) * 40503ull;
    return (k ^ n ^ c) * kGoldenRatio64;
}

// Cell -> net -> count, stored for the common case: most cells hold one net, so
// such an in-grid cell costs one 12-byte slot of a flat map, and a cell with
// several nets keeps up to two inline. A byte per in-grid cell (its tag: no net,
// several nets, or a hash of its one net) answers the search's question "does a net
// other than n cover this cell?" from one read with the spatial locality of the
// grid; only a tag equal to n's own sends it to the map. Cells are spread over
// kShards shards by a hash of their id, so that a merge works shard by shard on
// several threads. The checksum of all triples is kept current by every change.
class OccMap {
public:
    using Entry = std::pair<NetId, uint32_t>;
    using List = boost::container::small_vector<Entry, 2>;
    static constexpr std::size_t kShards = 64;

    // A map for a grid of `cell_count` cells: ids 0 .. cell_count - 1 (below 2^32)
    // get the compact storage and a tag; any other id is kept all the same.
    explicit OccMap(int64_t cell_count = 0);

    bool empty() const;
    // The nets at a cell with their counts (empty when none), valid until a change.
    std::span<const Entry> nets_at(int64_t cell) const;

    // Whether a net other than `net` covers the cell.
    bool has_other(int64_t cell, NetId net) const {
        if (cell >= 0 && cell < dense_) {
            if (tags_.empty()) return false;  // nothing in range stored yet
            const uint8_t t = tags_[static_cast<std::size_t>(cell)];
            if (t == kNone) return false;
            if (t == kMany) return true;  // nets in a list are distinct
            if (t != tag_of(net)) return true;
            return lone_net(cell) != net;
        }
        for (const Entry& e : nets_at(cell))
            if (e.first != net) return true;
        return false;
    }

    // Wrapping sum of occ_term over every triple, kept current.
    uint64_t signature() const { return signature_; }
    // The same, summed afresh (for checks).
    uint64_t signature_from_scratch() const;
    // Whether the tags, the shards and the kept signature agree (for checks).
    bool consistent() const;
    // Bytes the map holds (its arrays, their slack included).
    std::size_t memory_bytes() const;

    // Visits every (cell, net, count) triple, in no particular order.
    template <class Visit>
    void for_each(Visit&& visit) const {
        for (const Shard& s : shards_) {
            for (const auto& [cell, e] : s.one) visit(int64_t{cell}, e.first, e.second);
            for (const auto& [cell, list] : s.many)
                for (const Entry& e : list) visit(cell, e.first, e.second);
        }
    }

    // Adds 1 to the net's count at the cell (building a map from scratch). May
    // allocate, and leaves the map consistent when it throws.
    void add(int64_t cell, NetId net);

    // Applies lists of changes one list after the other (a batch's boxes in box
    // order); within a list the changes may come in any order, each (cell, net) at
    // most once. A change of 0 is skipped, a count that would fall to 0 or below is
    // removed, and a cell left without nets is removed. Works shard by shard on up to
    // n_threads threads; everything that can fail (an allocation) happens before the
    // first change, so a failure leaves the map as it was.
    void fold(std::span<const std::span<const OccChange>> lists, int32_t n_threads);

    void swap(OccMap& other) noexcept;

private:
    // Tag of a cell: no net, several nets, or 2 .. 255, a hash of its one net.
    static constexpr uint8_t kNone = 0;
    static constexpr uint8_t kMany = 1;
    static uint8_t tag_of(NetId net) {
        const auto t = static_cast<uint8_t>((static_cast<uint64_t>(static_cast<uint32_t>(net)) * kGoldenRatio64) >> 56);
        return t < 2 ? static_cast<uint8_t>(t + 2) : t;
    }
    static std::size_t shard_of(int64_t cell) {
        return static_cast<std::size_t>((static_cast<uint64_t>(cell) * kGoldenRatio64) >> 58);
    }
    static_assert(kShards == 64, "shard_of takes the top 6 bits");

    struct Shard {
        LargeHashMap<uint32_t, Entry> one;  // in-range cells with one net
        LargeHashMap<int64_t, List> many;   // in-range cells with several nets; every out-of-range cell
    };
    struct Staged;

    bool in_range(int64_t cell) const { return cell >= 0 && cell < dense_; }
    NetId lone_net(int64_t cell) const;
    void ensure_tags();
    void stage(Staged& st, std::size_t shard, std::span<const std::span<const OccChange>> lists,
               const std::vector<std::vector<std::size_t>>& offsets,
               const std::vector<std::vector<OccChange>>& bucketed);
    void commit(Staged& st, std::size_t shard) noexcept;

    std::array<Shard, kShards> shards_;
    std::vector<uint8_t, LargePageAllocator<uint8_t>> tags_;  // per in-range cell, allocated with the first such cell
    int64_t dense_ = 0;          // ids 0 .. dense_ - 1 are in range
    uint64_t signature_ = 0;
};

// One cell of a box worker's delta: its signed pending changes (entries may sit at
// 0) and, copied when the cell entered the delta, the nets the global map stores
// there. The global map does not change while workers run, and the copy spares the
// searches a random look-up into it each time they meet the cell.
struct PendingCell {
    NetCounts<int32_t> changes;
    NetCounts<uint32_t> stored;
};
using OccDelta = HashMap<int64_t, PendingCell>;

// Rebuilds `occ` from scratch with the given footprints.
void occ_build(OccMap& occ, const Geometry& g, std::span<const NetRouteView> nets, const FootprintRule& rule);

// Wrapping sum of per-(cell, net, count) contributions; independent of map order.
inline uint64_t occ_signature(const OccMap& occ) { return occ.signature(); }

// The signature occ_build would give the same nets, without a map of the grid: a
// net's counts depend on its own footprints alone, so they are summed one net at a
// time (the entries of a net named more than once together, as occ_build adds them).
uint64_t occ_signature_of(const Geometry& g, std::span<const NetRouteView> nets, const FootprintRule& rule);

// Adds (add) or removes one footprint of `net` to or from the delta over `occ`.
void occ_apply_local(OccDelta& delta, const OccMap& occ, const Geometry& g, const FootprintRule& rule, NetId net,
                     std::span<const Cell> cells, std::span<const Cell> vias, bool add);

// The delta's non-zero changes by ascending (cell, net): what a merge folds in.
std::vector<OccChange> occ_changes(const OccDelta& delta);

// True when a net other than `net` is present at the cell: its global count plus
// its pending change in `delta` (a delta over `occ`) is positive.
bool occ_has_pending_foreign(const OccMap& occ, const OccDelta& delta, int64_t cell, NetId net);

// The same with an optional delta: without one, `occ` alone decides.
inline bool occ_has_foreign(const OccMap& occ, const OccDelta* delta, int64_t cell, NetId net) {
    return delta ? occ_has_pending_foreign(occ, *delta, cell, net) : occ.has_other(cell, net);
}

}  // namespace tovrana
