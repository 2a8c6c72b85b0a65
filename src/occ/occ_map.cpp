#include "occ/occ_map.hpp"

#include <algorithm>
#include <numeric>

#include "grid/parallel.hpp"

namespace tovrana {
namespace {

// Room for `changes` insertions or erasures without a rehash: an erasure may lower
// a flat map's load limit by one (its guard against probe-length drift), so room
// for one of either per change means nothing below allocates.
//
// When erasures have worn the limit down, the table is rebuilt at the size `needed`
// calls for. Asking for one bucket more instead doubled it: over many passes of
// routes moving in and out, every shard table ended up twice the size a fresh build
// gives.
template <class Map>
void reserve_room(Map& map, std::size_t changes) {
    if (changes == 0) return;
    const std::size_t needed = map.size() + changes;
    map.reserve(needed);
    if (map.max_load() < needed) {
        Map fresh(map.get_allocator());
        fresh.reserve(needed);  // the only step that can throw: moves into reserved room do not
        for (auto& [key, value] : map) fresh.try_emplace(key, std::move(value));
        map.swap(fresh);
    }
    while (map.max_load() < needed) map.rehash(map.bucket_count() + 1);
}

template <class Map>
std::size_t map_bytes(const Map& map) {
    // slots plus one metadata word of 16 bytes per group of 15 slots
    return map.bucket_count() * sizeof(typename Map::value_type) + (map.bucket_count() / 15 + 1) * 16;
}

// A merge step on one cell's list: stored + d, removed when it falls to 0 or below.
void apply_change(OccMap::List& list, NetId net, int32_t d) {
    const std::size_t i = index_of(list, net);
    const int64_t stored = i < list.size() ? int64_t{list[i].second} : 0;
    const int64_t updated = stored + d;
    if (updated > 0) {
        if (i < list.size()) list[i].second = static_cast<uint32_t>(updated);
        else list.emplace_back(net, static_cast<uint32_t>(updated));
    } else if (i < list.size()) {
        list.erase(list.begin() + static_cast<std::ptrdiff_t>(i));
    }
}

}  // namespace

OccMap::OccMap(int64_t cell_count) : dense_(std::clamp<int64_t>(cell_count, 0, int64_t{1} << 32)) {}

bool OccMap::empty() const {
    return std::all_of(shards_.begin(), shards_.end(), [](const Shard& s) { return s.one.empty() && s.many.empty(); });
}

std::span<const OccMap::Entry> OccMap::nets_at(int64_t cell) const {
    const Shard& sh = shards_[shard_of(cell)];
    if (in_range(cell)) {
        if (tags_.empty()) return {};
        const uint8_t t = tags_[static_cast<std::size_t>(cell)];
        if (t == kNone) return {};
        if (t != kMany) return {&sh.one.find(static_cast<uint32_t>(cell))->second, 1};
    }
    const auto it = sh.many.find(cell);
    if (it == sh.many.end()) return {};
    return {it->second.data(), it->second.size()};
}

NetId OccMap::lone_net(int64_t cell) const {
    return shards_[shard_of(cell)].one.find(static_cast<uint32_t>(cell))->second.first;
}

uint64_t OccMap::signature_from_scratch() const {
    uint64_t sum = 0;
    for_each([&](int64_t cell, NetId net, uint32_t count) { sum += occ_term(cell, net, count); });
    return sum;
}

bool OccMap::consistent() const {
    std::size_t tagged = 0;
    for (std::size_t s = 0; s < kShards; ++s) {
        for (const auto& [cell, e] : shards_[s].one) {
            if (!in_range(cell) || shard_of(cell) != s || e.second == 0) return false;
            if (tags_.empty() || tags_[cell] != tag_of(e.first)) return false;
            ++tagged;
        }
        for (const auto& [cell, list] : shards_[s].many) {
            if (shard_of(cell) != s || list.empty()) return false;
            for (std::size_t i = 0; i < list.size(); ++i)
                if (list[i].second == 0 || index_of(list, list[i].first) != i) return false;
            if (in_range(cell)) {
                if (list.size() < 2 || tags_.empty() || tags_[static_cast<std::size_t>(cell)] != kMany) return false;
                ++tagged;
            }
        }
    }
    const auto untagged = static_cast<std::size_t>(std::count(tags_.begin(), tags_.end(), kNone));
    return tags_.size() - untagged == tagged && signature_ == signature_from_scratch();
}

std::size_t OccMap::memory_bytes() const {
    std::size_t bytes = tags_.capacity();
    for (const Shard& s : shards_) {
        bytes += map_bytes(s.one) + map_bytes(s.many);
        for (const auto& [cell, list] : s.many)
            if (list.capacity() > 2) bytes += list.capacity() * sizeof(Entry);
    }
    return bytes;
}

void OccMap::ensure_tags() {
    if (tags_.empty() && dense_ > 0) tags_.assign(static_cast<std::size_t>(dense_), kNone);
}

void OccMap::add(int64_t cell, NetId net) {
    Shard& sh = shards_[shard_of(cell)];
    if (in_range(cell)) {
        ensure_tags();
        uint8_t& t = tags_[static_cast<std::size_t>(cell)];
        if (t == kNone) {
            sh.one.emplace(static_cast<uint32_t>(cell), Entry{net, 1});
            t = tag_of(net);
            signature_ += occ_term(cell, net, 1);
            return;
        }
        if (t != kMany) {
            const auto it = sh.one.find(static_cast<uint32_t>(cell));
            Entry& e = it->second;
            if (e.first == net) {
                signature_ += occ_term(cell, net, e.second + 1) - occ_term(cell, net, e.second);
                ++e.second;
                return;
            }
            sh.many.emplace(cell, List{e, Entry{net, 1}});  // may throw: the cell is still whole
            sh.one.erase(it);
            t = kMany;
            signature_ += occ_term(cell, net, 1);
            return;
        }
    }
    List& list = sh.many[cell];
    const std::size_t i = index_of(list, net);
    if (i == list.size()) {
        list.emplace_back(net, 1);
        signature_ += occ_term(cell, net, 1);
    } else {
        signature_ += occ_term(cell, net, list[i].second + 1) - occ_term(cell, net, list[i].second);
        ++list[i].second;
    }
}

// One shard's part of a fold: the touched cells' new lists and the checksum change.
struct OccMap::Staged {
    HashMap<int64_t, List> lists;
    uint64_t signature_change = 0;
};

void OccMap::stage(Staged& st, std::size_t s, std::span<const std::span<const OccChange>> lists,
                   const std::vector<std::vector<std::size_t>>& offsets,
                   const std::vector<std::vector<OccChange>>& bucketed) {
    for (std::size_t i = 0; i < lists.size(); ++i) {
        for (std::size_t k = offsets[i][s]; k < offsets[i][s + 1]; ++k) {
            const OccChange& c = bucketed[i][k];
            const auto [it, fresh] = st.lists.try_emplace(c.cell);
            if (fresh) {
                const auto stored = nets_at(c.cell);
                it->second.assign(stored.begin(), stored.end());
            }
            apply_change(it->second, c.net, c.d);
        }
    }
    // Where each touched cell moves (one net, several, none), to reserve the room
    // the commit needs; and the checksum's change.
    enum Place { kNowhere, kOne, kMany };
    auto place = [&](int64_t cell, std::size_t nets) {
        return nets == 0 ? kNowhere : (nets == 1 && in_range(cell)) ? kOne : kMany;
    };
    std::size_t one_moves = 0, many_moves = 0;
    for (const auto& [cell, list] : st.lists) {
        const auto before = nets_at(cell);
        for (const Entry& e : before) st.signature_change -= occ_term(cell, e.first, e.second);
        for (const Entry& e : list) st.signature_change += occ_term(cell, e.first, e.second);
        const Place from = place(cell, before.size()), to = place(cell, list.size());
        if (from == to) continue;
        one_moves += (from == kOne) + (to == kOne);
        many_moves += (from == kMany) + (to == kMany);
    }
    reserve_room(shards_[s].one, one_moves);
    reserve_room(shards_[s].many, many_moves);
}

void OccMap::commit(Staged& st, std::size_t s) noexcept {
    Shard& sh = shards_[s];
    for (auto& [cell, list] : st.lists) {
        const bool to_one = list.size() == 1 && in_range(cell), to_many = list.size() > 1 || (!list.empty() && !in_range(cell));
        bool was_one = false, was_many = true;
        if (in_range(cell)) {
            const uint8_t t = tags_[static_cast<std::size_t>(cell)];
            was_one = t != kNone && t != kMany;
            was_many = t == kMany;
            tags_[static_cast<std::size_t>(cell)] = to_one ? tag_of(list[0].first) : to_many ? kMany : kNone;
        }
        if (was_one) {
            const auto it = sh.one.find(static_cast<uint32_t>(cell));
            if (to_one) it->second = list[0];
            else sh.one.erase(it);
        } else if (to_one) {
            sh.one.emplace(static_cast<uint32_t>(cell), list[0]);
        }
        if (was_many) {
            const auto it = sh.many.find(cell);
            if (it != sh.many.end()) {
                if (to_many) it->second = std::move(list);
                else sh.many.erase(it);
                continue;
            }
        }
        if (to_many) sh.many.emplace(cell, std::move(list));
    }
}

void OccMap::fold(std::span<const std::span<const OccChange>> lists, int32_t n_threads) {
    // Each list's non-zero changes grouped by shard (counting sort, order kept within
    // a shard), so that a shard's worker reads its own changes only.
    std::vector<std::vector<OccChange>> bucketed(lists.size());
    std::vector<std::vector<std::size_t>> offsets(lists.size());
    run_tasks(lists.size(), n_threads, [&](std::size_t i) {
        std::vector<std::size_t>& off = offsets[i];
        off.assign(kShards + 1, 0);
        for (const OccChange& c : lists[i])
            if (c.d != 0) ++off[shard_of(c.cell) + 1];
        for (std::size_t s = 0; s < kShards; ++s) off[s + 1] += off[s];
        bucketed[i].resize(off[kShards]);
        std::vector<std::size_t> at(off.begin(), off.end() - 1);
        for (const OccChange& c : lists[i])
            if (c.d != 0) bucketed[i][at[shard_of(c.cell)]++] = c;
    });
    if (std::all_of(bucketed.begin(), bucketed.end(), [](const auto& b) { return b.empty(); })) return;
    ensure_tags();
    std::vector<Staged> staged(kShards);
    run_tasks(kShards, n_threads, [&](std::size_t s) { stage(staged[s], s, lists, offsets, bucketed); });
    // Nothing below can fail: the shards were given their room above.
    run_tasks(kShards, n_threads, [&](std::size_t s) { commit(staged[s], s); }, AfterSpawnFailure::kFinish);
    for (const Staged& st : staged) signature_ += st.signature_change;
}

void OccMap::swap(OccMap& other) noexcept {
    shards_.swap(other.shards_);
    tags_.swap(other.tags_);
    std::swap(dense_, other.dense_);
    std::swap(signature_, other.signature_);
}

void occ_build(OccMap& occ, const Geometry& g, std::span<const NetRouteView> nets, const FootprintRule& rule) {
    OccMap fresh(g.layer_stride * g.nz);
    for (const NetRouteView& n : nets) {
        for_each_footprint(g, n.cells, n.vias, rule, nullptr, [&](int32_t x, int32_t y, int32_t layer) {
            fresh.add(g.cell_id(x, y, layer), n.net);
        });
    }
    occ.swap(fresh);
}

uint64_t occ_signature_of(const Geometry& g, std::span<const NetRouteView> nets, const FootprintRule& rule) {
    std::vector<std::size_t> order(nets.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return nets[a].net < nets[b].net; });
    uint64_t signature = 0;
    for (std::size_t i = 0; i < order.size();) {
        const NetId net = nets[order[i]].net;
        HashMap<int64_t, uint32_t> counts;  // fresh: clearing a large net's table costs its size
        for (; i < order.size() && nets[order[i]].net == net; ++i) {
            const NetRouteView& n = nets[order[i]];
            for_each_footprint(g, n.cells, n.vias, rule, nullptr,
                               [&](int32_t x, int32_t y, int32_t layer) { ++counts[g.cell_id(x, y, layer)]; });
        }
        for (const auto& [cell, count] : counts) signature += occ_term(cell, net, count);
    }
    return signature;
}

void occ_apply_local(OccDelta& delta, const OccMap& occ, const Geometry& g, const FootprintRule& rule, NetId net,
                     std::span<const Cell> cells, std::span<const Cell> vias, bool add) {
    const int32_t step = add ? 1 : -1;
    for_each_footprint(g, cells, vias, rule, nullptr, [&](int32_t x, int32_t y, int32_t layer) {
        const int64_t cell = g.cell_id(x, y, layer);
        const auto [it, fresh] = delta.try_emplace(cell);
        if (fresh) {
            const auto stored = occ.nets_at(cell);
            it->second.stored.assign(stored.begin(), stored.end());
        }
        NetCounts<int32_t>& list = it->second.changes;
        const std::size_t i = index_of(list, net);
        if (i < list.size()) list[i].second = wrap_add32(list[i].second, step);
        else list.emplace_back(net, step);
    });
}

std::vector<OccChange> occ_changes(const OccDelta& delta) {
    std::vector<OccChange> out;
    for (const auto& [cell, pending] : delta)
        for (const auto& [net, d] : pending.changes)
            if (d != 0) out.push_back({cell, net, d});
    std::sort(out.begin(), out.end());
    return out;
}

bool occ_has_pending_foreign(const OccMap& occ, const OccDelta& delta, int64_t cell, NetId net) {
    const auto it = delta.find(cell);
    if (it == delta.end()) return occ.has_other(cell, net);  // stored counts are all positive
    const NetCounts<int32_t>& pending = it->second.changes;
    const NetCounts<uint32_t>& global = it->second.stored;
    for (const auto& [n, c] : global) {
        if (n == net) continue;
        if (int64_t{c} + count_of(pending, n) > 0) return true;
    }
    for (const auto& [n, d] : pending) {
        if (n == net || d <= 0) continue;
        if (index_of(global, n) == global.size()) return true;
    }
    return false;
}

}  // namespace tovrana
