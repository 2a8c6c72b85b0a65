#include "markers/cover_pass.hpp"

#include <cstdint>

#include "grid/panic.hpp"
#include "markers/cell_slots.hpp"

namespace tovrana::markers {
namespace {

// One touched cell. The first net is kept inline; further nets hang off it as a
// chain of links in insertion order. `stamp` is the input position of the last
// net entry that touched the cell, so a net's repeated visits skip the scan.
struct CoverEntry {
    Cell cell;
    NetId first;
    uint32_t stamp;
    int32_t head;
    int32_t tail;
};

struct NetLink {
    NetId net;
    int32_t next;
};

}  // namespace

void cover_pass(const Geometry& g, std::span<const MarkerNet> nets, const MarkerParams& params,
                std::vector<Marker>& out) {
    std::size_t route_cells = 0;
    for (const MarkerNet& n : nets) route_cells += n.cells.size();

    CellSlots slots(g);
    slots.reserve_cells(route_cells * 4);
    std::vector<CoverEntry> entries;
    entries.reserve(route_cells * 4);
    std::vector<NetLink> links;

    const Region* region = params.region ? &*params.region : nullptr;
    uint32_t position = 0;
    for (const MarkerNet& n : nets) {
        const NetId net = n.net;
        const uint32_t stamp = position++;
        for_each_footprint(g, n.cells, n.vias, params.halos, region, [&](int32_t x, int32_t y, int32_t layer) {
            int32_t& slot = slots.slot(x, y, layer);
            if (slot < 0) {
                if (entries.size() >= static_cast<std::size_t>(INT32_MAX)) throw Panic("capacity overflow");
                slot = static_cast<int32_t>(entries.size());
                entries.push_back(CoverEntry{Cell{x, y, layer}, net, stamp, -1, -1});
                return;
            }
            CoverEntry& e = entries[static_cast<std::size_t>(slot)];
            if (e.stamp == stamp) return;
            e.stamp = stamp;
            if (e.first == net) return;
            for (int32_t i = e.head; i >= 0; i = links[static_cast<std::size_t>(i)].next)
                if (links[static_cast<std::size_t>(i)].net == net) return;
            const auto link = static_cast<int32_t>(links.size());
            links.push_back(NetLink{net, -1});
            if (e.tail >= 0)
                links[static_cast<std::size_t>(e.tail)].next = link;
            else
                e.head = link;
            e.tail = link;
        });
    }

    for (const CoverEntry& e : entries) {
        if (e.head < 0) continue;
        Marker m;
        m.cells.push_back(e.cell);
        m.layer = e.cell.layer;
        m.nets.push_back(e.first);
        for (int32_t i = e.head; i >= 0; i = links[static_cast<std::size_t>(i)].next)
            m.nets.push_back(links[static_cast<std::size_t>(i)].net);
        out.push_back(std::move(m));
    }
}

}  // namespace tovrana::markers
