#include "occ/occ_map.hpp"

namespace tovrana {

void occ_build(OccMap& occ, const Geometry& g, std::span<const NetFootprintInput> nets, Halos halos) {
    OccMap fresh;
    for (const NetFootprintInput& n : nets) {
        for_each_footprint(g, n.cells, n.vias, halos, nullptr, [&](int32_t x, int32_t y, int32_t layer) {
            bump(fresh[g.cell_id(x, y, layer)], n.net, 1u);
        });
    }
    occ.swap(fresh);
}

uint64_t occ_signature(const OccMap& occ) {
    uint64_t sum = 0;
    for (const auto& [cell, list] : occ) {
        for (const auto& [net, count] : list) {
            const uint64_t k = static_cast<uint64_t>(cell) * 1000003ull;
            const uint64_t n = static_cast<uint64_t>(static_cast<int64_t>(net)) * 2654435761ull;
            const uint64_t c = static_cast<uint64_t>(count) * 40503ull;
            sum += (k ^ n ^ c) * 11400714819323198485ull;
        }
    }
    return sum;
}

void occ_apply_local(OccDelta& delta, const Geometry& g, Halos halos, NetId net,
                     std::span<const Cell> cells, std::span<const Cell> vias, bool add) {
    const int32_t step = add ? 1 : -1;
    for_each_footprint(g, cells, vias, halos, nullptr, [&](int32_t x, int32_t y, int32_t layer) {
        NetCounts<int32_t>& list = delta[g.cell_id(x, y, layer)];
        const std::size_t i = index_of(list, net);
        if (i < list.size()) list[i].second = wrap_add32(list[i].second, step);
        else list.emplace_back(net, step);
    });
}

void occ_merge_local(OccMap& occ, const OccDelta& delta) {
    for (const auto& [cell, changes] : delta) {
        auto it = occ.find(cell);
        for (const auto& [net, d] : changes) {
            if (d == 0) continue;
            if (it == occ.end()) it = occ.try_emplace(cell).first;
            NetCounts<uint32_t>& list = it->second;
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
        if (it != occ.end() && it->second.empty()) occ.erase(it);
    }
}

bool occ_has_foreign(const OccMap& occ, const OccDelta* delta, int64_t cell, NetId net) {
    const auto global = occ.find(cell);
    const NetCounts<int32_t>* pending = nullptr;
    if (delta) {
        const auto it = delta->find(cell);
        if (it != delta->end()) pending = &it->second;
    }
    if (global != occ.end()) {
        for (const auto& [n, c] : global->second) {
            if (n == net) continue;
            const int64_t change = pending ? count_of(*pending, n) : 0;
            if (int64_t{c} + change > 0) return true;
        }
    }
    if (pending) {
        for (const auto& [n, d] : *pending) {
            if (n == net || d <= 0) continue;
            if (global == occ.end() || index_of(global->second, n) == global->second.size()) return true;
        }
    }
    return false;
}

}  // namespace tovrana
