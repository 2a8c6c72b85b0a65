#include "markers/prl_pass.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>

#include "grid/per_thread.hpp"
#include "markers/cell_slots.hpp"

namespace tovrana::markers {
namespace {

// Two nets facing each other on one layer: tracks lo and lo + d, nets by value.
struct PrlKey {
    int32_t layer;
    bool vertical;
    int32_t track_lo, track_hi;
    NetId net_lo, net_hi;
    bool operator==(const PrlKey&) const = default;
    friend std::size_t hash_value(const PrlKey& k) {
        uint64_t h = static_cast<uint32_t>(k.layer) * 2u + (k.vertical ? 1u : 0u);
        for (const int32_t field : {k.track_lo, k.track_hi, k.net_lo, k.net_hi})
            h = hash_mix(h, static_cast<uint32_t>(field));
        return static_cast<std::size_t>(h);
    }
};

// Owner of each cell id. In-plane cells, and outside cells whose wrapped id equals
// that of an in-plane cell, share the tiled per-cell store; ids no in-plane cell
// has (layers beyond the 32-bit range after decoding) go to a hash map.
class OwnerIndex {
public:
    explicit OwnerIndex(const Geometry& g) : g_(g), plane_(g) {}

    // Records `net` as owner of c's id unless it has one; true when it did not.
    bool claim(const Cell& c, NetId net) {
        Cell at = c;
        if (plane_.tiled() && (g_.in_plane(c.ix, c.iy) || decode(g_.cell_id(c), at))) {
            Slot& s = plane_[plane_.at(at.ix, at.iy, at.layer)];
            if (s.owned) return false;
            s = Slot{net, true};
            return true;
        }
        return other_.try_emplace(g_.cell_id(c), net).second;
    }

    void clear() {
        plane_.clear();
        other_.clear();
    }
    std::size_t capacity_bytes() const { return plane_.capacity_bytes() + other_.bucket_count() * 16; }

    // Owner of in-plane cell (x, y, layer), or null.
    const NetId* find(int32_t x, int32_t y, int32_t layer) {
        if (plane_.tiled()) {
            const Slot* s = plane_.find(x, y, layer);
            return s && s->owned ? &s->net : nullptr;
        }
        const auto it = other_.find(g_.cell_id(x, y, layer));
        return it == other_.end() ? nullptr : &it->second;
    }

private:
    struct Slot {
        NetId net = 0;
        bool owned = false;
    };

    // The in-plane cell with this id, if its layer fits 32 bits. With a plane of
    // fewer than 2^32 cells such ids never wrap, so plain floor division inverts them.
    bool decode(int64_t id, Cell& out) const {
        const int64_t stride = g_.layer_stride;
        int64_t layer = id / stride;
        if (id % stride < 0) --layer;
        if (layer < INT32_MIN || layer > INT32_MAX) return false;
        const int64_t r = id - layer * stride;
        out = Cell{static_cast<int32_t>(r % g_.nx), static_cast<int32_t>(r / g_.nx), static_cast<int32_t>(layer)};
        return true;
    }

    const Geometry& g_;
    CellSlots<Slot> plane_;
    HashMap<int64_t, NetId> other_;
};

// Whether a layer's tracks are columns; a layer the list does not cover is
// horizontal.
bool is_vertical(std::span<const uint8_t> vertical, int32_t layer) {
    return layer >= 0 && static_cast<std::size_t>(layer) < vertical.size() && vertical[static_cast<std::size_t>(layer)] != 0;
}

// With a region, only tracks within prl_halo of the region's track range can
// yield an emitted cell: a run's cells lie on its two tracks, and a pair's lower
// track is at most prl_halo below its upper one. In-plane cells on other tracks
// are left out of ownership, which changes no marker, since in-plane cells have
// distinct ids (the plane is checked to be small enough for ids not to wrap)
// and every pair and owner look-up that could count lies in the band. A cell
// outside the plane may share its id with an in-plane cell and own it in that
// cell's place, wherever the band is: with such cells the band is not used.
class TrackBand {
public:
    TrackBand(const Geometry& g, const MarkerParams& p) : g_(g), vertical_(p.vertical) {
        active_ = p.region.has_value() && g.layer_stride > 0 && g.layer_stride < (int64_t{1} << 31);
        if (!active_) return;
        const int64_t halo = p.prl_halo;
        x_lo_ = int64_t{p.region->x0} - halo;
        x_hi_ = int64_t{p.region->x1} + halo;
        y_lo_ = int64_t{p.region->y0} - halo;
        y_hi_ = int64_t{p.region->y1} + halo;
    }

    bool active() const { return active_; }
    void disable() { active_ = false; }
    bool in_plane(const Cell& c) const { return g_.in_plane(c.ix, c.iy); }

    bool relevant(const Cell& c) const {
        if (!active_ || !g_.in_plane(c.ix, c.iy)) return true;
        return is_vertical(vertical_, c.layer) ? (x_lo_ <= c.ix && c.ix <= x_hi_) : (y_lo_ <= c.iy && c.iy <= y_hi_);
    }

private:
    const Geometry& g_;
    std::span<const uint8_t> vertical_;
    bool active_ = false;
    int64_t x_lo_ = 0, x_hi_ = 0, y_lo_ = 0, y_hi_ = 0;
};

struct Owned {
    Cell cell;
    NetId net;
};

// Ownership: the first net to place a route cell on a cell id owns it. Not clipped
// to the region or the grid. Fills `owned` with the owned cells in claim order.
// A cell outside the plane may share its id with an in-plane cell that an active
// band leaves out, and would then own that id in the other's place: meeting one
// with the band active, it stops and returns false.
bool claim_cells(std::span<const NetRouteView> nets, const TrackBand& band, OwnerIndex& owner,
                 std::vector<Owned>& owned) {
    for (const NetRouteView& n : nets) {
        for (const Cell& c : n.cells) {
            if (band.active() && !band.in_plane(c)) return false;
            if (band.relevant(c) && owner.claim(c, n.net)) owned.push_back(Owned{c, n.net});
        }
    }
    return true;
}

// The pair keys in first-seen order, each with its index. Consecutive look-ups are
// mostly of one key, so the last one is tried before the map.
class PairKeys {
public:
    uint32_t index(const PrlKey& key) {
        if (!have_last_ || !(keys_[last_] == key)) {
            const auto [it, fresh] = index_.try_emplace(key, static_cast<uint32_t>(keys_.size()));
            if (fresh) keys_.push_back(key);
            last_ = it->second;
            have_last_ = true;
        }
        return last_;
    }
    const PrlKey& operator[](uint32_t i) const { return keys_[i]; }

private:
    HashMap<PrlKey, uint32_t> index_;
    std::vector<PrlKey> keys_;
    uint32_t last_ = 0;
    bool have_last_ = false;
};

// (key index, along) packed so that a plain sort groups by key in first-seen
// order and orders each group by along value.
uint64_t pack(uint32_t key, int32_t along) {
    return (uint64_t{key} << 32) | (static_cast<uint32_t>(along) ^ 0x80000000u);
}
uint32_t key_of(uint64_t p) { return static_cast<uint32_t>(p >> 32); }
int64_t along_of(uint64_t p) { return static_cast<int32_t>(static_cast<uint32_t>(p) ^ 0x80000000u); }

// Facing pairs of owned cells, looking only to the positive side, as packed
// (key, along) entries sorted and unique. The distance loop is clamped to the
// neighbours that lie in the grid, which is where every d that can count lives,
// so any prl_halo takes at most nx (or ny) steps per owned cell.
void facing_pairs(const Geometry& g, const std::vector<Owned>& owned, OwnerIndex& owner, const MarkerParams& params,
                  PairKeys& keys, std::vector<uint64_t>& facing) {
    for (const Owned& o : owned) {
        const int32_t x = o.cell.ix, y = o.cell.iy, layer = o.cell.layer;
        const bool v = is_vertical(params.vertical, layer);
        const int32_t t = v ? x : y, a = v ? y : x;
        // The neighbour at distance d is (t + d) on the track axis and a on the
        // along axis; both must be inside the plane.
        const int64_t track_extent = v ? g.nx : g.ny, along_extent = v ? g.ny : g.nx;
        if (a < 0 || a >= along_extent) continue;
        const int64_t d_lo = std::max<int64_t>(1, -int64_t{t});
        const int64_t d_hi = std::min<int64_t>(params.prl_halo, track_extent - 1 - t);
        for (int64_t d = d_lo; d <= d_hi; ++d) {
            const auto u_track = static_cast<int32_t>(t + d);  // in [0, extent): fits
            const NetId* found = v ? owner.find(u_track, y, layer) : owner.find(x, u_track, layer);
            if (!found || *found == o.net) continue;
            const NetId u = *found;
            facing.push_back(pack(keys.index(PrlKey{layer, v, t, u_track, std::min(o.net, u), std::max(o.net, u)}), a));
        }
    }
    std::sort(facing.begin(), facing.end());
    facing.erase(std::unique(facing.begin(), facing.end()), facing.end());
}

// The marker of one run of a pair, along positions first..last, its cells clipped
// to the region; nothing when the clip leaves no cell.
void emit_run(const PrlKey& k, int64_t first, int64_t last, const Region* region, std::vector<Marker>& out) {
    Marker m;
    m.layer = k.layer;
    m.nets = {k.net_lo, k.net_hi};
    for (int64_t a = first; a <= last; ++a)
        for (const int32_t track : {k.track_lo, k.track_hi}) {
            const Cell c = k.vertical ? Cell{track, static_cast<int32_t>(a), k.layer}
                                      : Cell{static_cast<int32_t>(a), track, k.layer};
            if (!region || region->contains(c.ix, c.iy)) m.cells.push_back(c);
        }
    if (!m.cells.empty()) out.push_back(std::move(m));
}

// A thread's storage for the pass, kept from one call to the next: a box worker
// calls the pass after every reroute, and storage of this size, fresh each time,
// is mapped and zeroed by the system again and again. Emptied at the start of a
// call; given back after one that grew it beyond kKeepBytes.
struct Scratch {
    Geometry g;  // the owner index is bound to it
    std::optional<OwnerIndex> owner;
    std::vector<Owned> owned;
    std::vector<uint64_t> facing;

    static constexpr std::size_t kKeepBytes = std::size_t{32} << 20;

    OwnerIndex& start(const Geometry& call) {
        const bool same = owner && g.nx == call.nx && g.ny == call.ny && g.nz == call.nz && g.layer_stride == call.layer_stride;
        if (!same) {
            owner.reset();
            g = call;
            owner.emplace(g);
        }
        owner->clear();
        owned.clear();
        facing.clear();
        return *owner;
    }
    void finish() {
        if (owner->capacity_bytes() + owned.capacity() * sizeof(Owned) + facing.capacity() * sizeof(uint64_t) > kKeepBytes) {
            owner.reset();
            std::vector<Owned>().swap(owned);
            std::vector<uint64_t>().swap(facing);
        }
    }
};
Scratch& thread_scratch() {
    static PerThread<Scratch> scratch;
    return scratch.get();
}

}  // namespace

void prl_pass(const Geometry& g, std::span<const NetRouteView> nets, const MarkerParams& params,
              std::vector<Marker>& out) {
    if (params.prl_halo <= 0 || params.prl_len <= 0) return;
    Scratch& scratch = thread_scratch();
    OwnerIndex& owner = scratch.start(g);
    struct Finish {
        Scratch& s;
        ~Finish() { s.finish(); }
    } finish{scratch};
    std::vector<Owned>& owned = scratch.owned;
    TrackBand band(g, params);
    if (!claim_cells(nets, band, owner, owned)) {  // then without the band
        band.disable();
        owner.clear();
        owned.clear();
        claim_cells(nets, band, owner, owned);
    }
    PairKeys keys;
    std::vector<uint64_t>& facing = scratch.facing;
    facing_pairs(g, owned, owner, params, keys, facing);

    // Maximal runs of consecutive along values per key; the sort already put the
    // keys in first-seen order and each key's values ascending.
    const Region* region = params.region ? &*params.region : nullptr;
    std::size_t i = 0;
    while (i < facing.size()) {
        const uint32_t k = key_of(facing[i]);
        const int64_t first = along_of(facing[i]);
        int64_t last = first;
        std::size_t j = i + 1;
        while (j < facing.size() && key_of(facing[j]) == k && along_of(facing[j]) == last + 1) {
            last = along_of(facing[j]);
            ++j;
        }
        if (last - first + 1 >= params.prl_len) emit_run(keys[k], first, last, region, out);
        i = j;
    }
}

}  // namespace tovrana::markers
