#include "markers/cover_pass.hpp"

#include <cstdint>

#include "grid/panic.hpp"
#include "markers/cell_slots.hpp"

namespace tovrana::markers {
namespace {

// Per touched cell: the first two nets inline (most shared cells have exactly
// two), any further nets as a chain of links in insertion order. `stamp` is 1 +
// the input position of the last net entry that touched the cell, so a net's
// repeated visits skip the scan.
constexpr int32_t kOneNet = -2;  // `more` while only `first` is set
constexpr int32_t kNoMore = -1;  // `second` set, no links

struct CoverSlot {
    uint32_t stamp = 0;  // 0: never touched
    NetId first = 0;
    NetId second = 0;
    int32_t more = kOneNet;
};

struct NetLink {
    NetId net;
    int32_t next;
};

}  // namespace

void cover_pass(const Geometry& g, std::span<const NetRouteView> nets, const MarkerParams& params,
                std::vector<Marker>& out) {
    std::size_t route_cells = 0;
    for (const NetRouteView& n : nets) route_cells += n.cells.size();

    const Region* region = params.region ? &*params.region : nullptr;
    CellSlots<CoverSlot> slots(g);
    std::vector<std::size_t> touched;  // record positions in first-touch order
    if (!region) {
        // Unclipped walks touch a few cells per route cell; a region (the box
        // worker's case) usually keeps a small part of them, so let that grow.
        slots.reserve_cells(route_cells * 4);
        touched.reserve(route_cells * 4);
    }
    std::vector<NetLink> links;
    std::size_t shared = 0;  // cells with two or more nets

    uint32_t stamp = 0;
    for (const NetRouteView& n : nets) {
        const NetId net = n.net;
        ++stamp;
        for_each_footprint(g, n.cells, n.vias, params.halos, region, [&](int32_t x, int32_t y, int32_t layer) {
            const std::size_t pos = slots.at(x, y, layer);
            CoverSlot& s = slots[pos];
            if (s.stamp == stamp) return;
            if (s.stamp == 0) {
                s = CoverSlot{stamp, net, 0, kOneNet};
                touched.push_back(pos);
                return;
            }
            s.stamp = stamp;
            if (s.first == net) return;
            if (s.more == kOneNet) {
                s.second = net;
                s.more = kNoMore;
                ++shared;
                return;
            }
            if (s.second == net) return;
            int32_t* tail = &s.more;
            while (*tail >= 0) {
                NetLink& l = links[static_cast<std::size_t>(*tail)];
                if (l.net == net) return;
                tail = &l.next;
            }
            if (links.size() >= static_cast<std::size_t>(INT32_MAX)) throw Panic("capacity overflow");
            *tail = static_cast<int32_t>(links.size());
            links.push_back(NetLink{net, kNoMore});
        });
    }

    out.reserve(out.size() + shared);
    for (const std::size_t pos : touched) {
        const CoverSlot& s = slots[pos];
        if (s.more == kOneNet) continue;
        Marker& m = out.emplace_back();
        const Cell c = slots.cell_at(pos);
        m.cells.push_back(c);
        m.layer = c.layer;
        if (s.more == kNoMore) {
            m.nets = {s.first, s.second};
            continue;
        }
        std::size_t count = 2;
        for (int32_t i = s.more; i >= 0; i = links[static_cast<std::size_t>(i)].next) ++count;
        m.nets.reserve(count);
        m.nets.push_back(s.first);
        m.nets.push_back(s.second);
        for (int32_t i = s.more; i >= 0; i = links[static_cast<std::size_t>(i)].next)
            m.nets.push_back(links[static_cast<std::size_t>(i)].net);
    }
}

}  // namespace tovrana::markers
