#include "occ/occ_map.hpp"

#include <algorithm>

namespace tovrana {

void OccMap::assign(Cells&& cells, int64_t cell_count) {
    cells_ = std::move(cells);
    digest_.assign(static_cast<std::size_t>(std::max<int64_t>(cell_count, 0)), kNone);
    for (const auto& [cell, list] : cells_) {
        if (cell >= 0 && static_cast<uint64_t>(cell) < digest_.size()) digest_[static_cast<std::size_t>(cell)] = digest_of(list);
    }
}

void OccMap::replace(Cells&& lists) {
    // An insertion needs room below the map's load limit, and an erasure may lower
    // that limit by one (the map's guard against probe-length drift): room for one
    // of either per listed cell means nothing below allocates.
    const std::size_t needed = cells_.size() + lists.size();
    cells_.reserve(needed);
    while (cells_.max_load() < needed) cells_.rehash(cells_.bucket_count() + 1);
    for (auto& [cell, list] : lists) {
        if (cell >= 0 && static_cast<uint64_t>(cell) < digest_.size()) digest_[static_cast<std::size_t>(cell)] = digest_of(list);
        const auto it = cells_.find(cell);
        if (list.empty()) {
            if (it != cells_.end()) cells_.erase(it);
        } else if (it != cells_.end()) {
            it->second = std::move(list);  // steals a heap buffer; a one-net list fits inline
        } else {
            cells_.emplace(cell, std::move(list));
        }
    }
}

void occ_build(OccMap& occ, const Geometry& g, std::span<const NetRouteView> nets, const FootprintRule& rule) {
    OccMap::Cells fresh;
    for (const NetRouteView& n : nets) {
        for_each_footprint(g, n.cells, n.vias, rule, nullptr, [&](int32_t x, int32_t y, int32_t layer) {
            bump(fresh[g.cell_id(x, y, layer)], n.net, 1u);
        });
    }
    occ.assign(std::move(fresh), g.layer_stride * g.nz);
}

uint64_t occ_signature(const OccMap& occ) {
    // The multipliers fix the checksum's value, which callers compare across runs
    // and grids: changing one changes every signature.
    uint64_t sum = 0;
    for (const auto& [cell, list] : occ.cells()) {
        for (const auto& [net, count] : list) {
            const uint64_t k = static_cast<uint64_t>(cell) * 1000003ull;
            const uint64_t n = static_cast<uint64_t>(static_cast<int64_t>(net)) * 2654435761ull;
            const uint64_t c = static_cast<uint64_t>(count) * 40503ull;
            sum += (k ^ n ^ c) * kGoldenRatio64;
        }
    }
    return sum;
}

void occ_apply_local(OccDelta& delta, const Geometry& g, const FootprintRule& rule, NetId net,
                     std::span<const Cell> cells, std::span<const Cell> vias, bool add) {
    const int32_t step = add ? 1 : -1;
    for_each_footprint(g, cells, vias, rule, nullptr, [&](int32_t x, int32_t y, int32_t layer) {
        NetCounts<int32_t>& list = delta[g.cell_id(x, y, layer)];
        const std::size_t i = index_of(list, net);
        if (i < list.size()) list[i].second = wrap_add32(list[i].second, step);
        else list.emplace_back(net, step);
    });
}

namespace {

// The cell's list as the merge has made it so far: a copy of the stored one at first.
NetCounts<uint32_t>& staged_list(OccMap::Cells& staged, const OccMap& occ, int64_t cell) {
    const auto [it, fresh] = staged.try_emplace(cell);
    if (fresh) {
        const auto stored = occ.cells().find(cell);
        if (stored != occ.cells().end()) it->second = stored->second;
    }
    return it->second;
}

void apply_change(NetCounts<uint32_t>& list, NetId net, int32_t d) {
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

void occ_merge_local(OccMap& occ, std::span<const OccDelta* const> deltas) {
    OccMap::Cells staged;
    for (const OccDelta* delta : deltas) {
        for (const auto& [cell, changes] : *delta) {
            NetCounts<uint32_t>* list = nullptr;  // the cell's list, once a change needs it
            for (const auto& [net, d] : changes) {
                if (d == 0) continue;
                if (!list) list = &staged_list(staged, occ, cell);
                apply_change(*list, net, d);
            }
        }
    }
    occ.replace(std::move(staged));
}

bool occ_has_pending_foreign(const OccMap& occ, const OccDelta& delta, int64_t cell, NetId net) {
    const auto it = delta.find(cell);
    if (it == delta.end()) return occ.has_other(cell, net);  // stored counts are all positive
    const NetCounts<int32_t>* pending = &it->second;
    const auto global = occ.cells().find(cell);
    if (global != occ.cells().end()) {
        for (const auto& [n, c] : global->second) {
            if (n == net) continue;
            if (int64_t{c} + count_of(*pending, n) > 0) return true;
        }
    }
    for (const auto& [n, d] : *pending) {
        if (n == net || d <= 0) continue;
        if (global == occ.cells().end() || index_of(global->second, n) == global->second.size()) return true;
    }
    return false;
}

}  // namespace tovrana
