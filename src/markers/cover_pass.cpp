#include "markers/cover_pass.hpp"

#include <cstdint>

#include "grid/panic.hpp"
#include "markers/cell_slots.hpp"

namespace tovrana::markers {
namespace {

// Per touched cell: the first two nets inline (most shared cells have exactly
// two), any further nets as a chain of links in insertion order. `stamp` is 1 +
// the input position of the last net entry that touched the cell, so a net's
// repeated visits skip the scan; once the walk is done, its top bit marks a cell
// that holds a route cell (see mark_bodies).
constexpr int32_t kOneNet = -2;  // `more` while only `first` is set
constexpr int32_t kNoMore = -1;  // `second` set, no links
constexpr uint32_t kBody = uint32_t{1} << 31;

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

// The nets under each touched cell, and the cells in first-touch order.
class CoverTable {
public:
    CoverTable(const Geometry& g, std::size_t expected_cells) : slots_(g) {
        if (expected_cells == 0) return;
        slots_.reserve_cells(expected_cells);
        touched_.reserve(expected_cells);
    }

    // A footprint visit of `net`, the input's net number `stamp` (from 1).
    void visit(int32_t x, int32_t y, int32_t layer, NetId net, uint32_t stamp) {
        const std::size_t pos = slots_.at(x, y, layer);
        CoverSlot& s = slots_[pos];
        if (s.stamp == stamp) return;  // this net entry was counted here already
        if (s.stamp == 0) {
            s = CoverSlot{stamp, net, 0, kOneNet};
            touched_.push_back(pos);
            return;
        }
        s.stamp = stamp;
        add_net(s, net);
    }

    // After the walk: marks the touched cells that hold one of the nets' route cells
    // (those inside the grid's layers and the clip; a route cell's own position is in
    // its spacing footprint, so it was touched).
    void mark_bodies(std::span<const NetRouteView> nets, const Geometry& g, std::size_t layers, const Region* region) {
        for (const NetRouteView& n : nets) {
            for (const Cell& c : n.cells) {
                if (!g.in_plane(c.ix, c.iy) || c.layer < 0 || static_cast<std::size_t>(c.layer) >= layers) continue;
                if (region && !region->contains(c.ix, c.iy)) continue;
                if (CoverSlot* s = slots_.find(c.ix, c.iy, c.layer)) s->stamp |= kBody;
            }
        }
    }

    // One marker per cell with two or more nets (and, when `bodies`, a route cell
    // on it), in first-touch order.
    void emit(std::vector<Marker>& out, bool bodies) {
        out.reserve(out.size() + shared_);
        for (const std::size_t pos : touched_) {
            const CoverSlot& s = slots_[pos];
            if (s.more == kOneNet || (bodies && !(s.stamp & kBody))) continue;
            Marker& m = out.emplace_back();
            const Cell c = slots_.cell_at(pos);
            m.cells.push_back(c);
            m.layer = c.layer;
            m.nets = nets_of(s);
        }
    }

private:
    // Adds `net` to a cell that already holds a net, unless it is there.
    void add_net(CoverSlot& s, NetId net) {
        if (s.first == net) return;
        if (s.more == kOneNet) {
            s.second = net;
            s.more = kNoMore;
            ++shared_;
            return;
        }
        if (s.second != net) append_link(s.more, net);
    }

    // Appends `net` to the chain starting at `head`, unless the chain holds it.
    void append_link(int32_t& head, NetId net) {
        int32_t* tail = &head;
        while (*tail >= 0) {
            NetLink& l = links_[static_cast<std::size_t>(*tail)];
            if (l.net == net) return;
            tail = &l.next;
        }
        if (links_.size() >= static_cast<std::size_t>(INT32_MAX)) throw Panic("capacity overflow");
        *tail = static_cast<int32_t>(links_.size());
        links_.push_back(NetLink{net, kNoMore});
    }

    // The nets of a cell with two or more, in the order they first touched it.
    std::vector<NetId> nets_of(const CoverSlot& s) const {
        if (s.more == kNoMore) return {s.first, s.second};
        std::size_t count = 2;
        for (int32_t i = s.more; i >= 0; i = links_[static_cast<std::size_t>(i)].next) ++count;
        std::vector<NetId> nets;
        nets.reserve(count);
        nets.push_back(s.first);
        nets.push_back(s.second);
        for (int32_t i = s.more; i >= 0; i = links_[static_cast<std::size_t>(i)].next)
            nets.push_back(links_[static_cast<std::size_t>(i)].net);
        return nets;
    }

    CellSlots<CoverSlot> slots_;
    std::vector<std::size_t> touched_;  // record positions in first-touch order
    std::vector<NetLink> links_;
    std::size_t shared_ = 0;  // cells with two or more nets
};

}  // namespace

void cover_pass(const Geometry& g, std::span<const NetRouteView> nets, const MarkerParams& params,
                std::vector<Marker>& out) {
    const Region* region = params.region ? &*params.region : nullptr;
    // Unclipped walks touch a few cells per route cell; a region (the box worker's
    // case) usually keeps a small part of them, so let that grow.
    std::size_t expected = 0;
    if (!region)
        for (const NetRouteView& n : nets) expected += n.cells.size() * 4;
    if (nets.size() >= kBody) throw Panic("capacity overflow");
    CoverTable table(g, expected);
    uint32_t stamp = 0;
    for (const NetRouteView& n : nets) {
        ++stamp;
        for_each_footprint(g, n.cells, n.vias, params.footprints, region,
                           [&](int32_t x, int32_t y, int32_t layer) { table.visit(x, y, layer, n.net, stamp); });
    }
    // Spacing footprints conflict only where a route cell lies; halo squares anywhere.
    const SpacingRule* spacing = params.footprints.spacing;
    if (spacing) table.mark_bodies(nets, g, spacing->tracks().layer_count(), region);
    table.emit(out, spacing != nullptr);
}

}  // namespace tovrana::markers
