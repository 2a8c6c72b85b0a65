#include "grid/route_store.hpp"

#include "grid/hash_mix.hpp"

namespace tovrana {
namespace {

uint64_t mix_cell(uint64_t h, const Cell& c) {
    return hash_mix(hash_mix(hash_mix(h, static_cast<uint32_t>(c.ix)), static_cast<uint32_t>(c.iy)),
                    static_cast<uint32_t>(c.layer));
}

// The hash of a route's cells and edges, and a slot's hash: the route's with the
// slot's position and net, so that the sum over slots sees the slot order. The
// final multiplication spreads every input bit over the word.
uint64_t content_hash(const CellList& cells, const EdgeList& edges) {
    uint64_t h = hash_mix(0, static_cast<uint32_t>(cells.size()));
    for (const Cell& c : cells) h = mix_cell(h, c);
    h = hash_mix(h, static_cast<uint32_t>(edges.size()));
    for (const Edge& e : edges) h = mix_cell(mix_cell(h, e.a), e.b);
    return h;
}
uint64_t slot_hash(std::size_t slot, NetId net, uint64_t content) {
    uint64_t h = hash_mix(hash_mix(content, static_cast<uint32_t>(slot)), static_cast<uint32_t>(slot >> 32));
    h = hash_mix(h, static_cast<uint32_t>(net));
    return (h ^ (h >> 29)) * kGoldenRatio64;
}

template <class T>
std::size_t vector_bytes(const std::vector<T>& v) {
    return v.capacity() * sizeof(T);
}

}  // namespace

CellList via_from_edges(const EdgeList& edges) {
    CellList vias;
    HashSet<Cell> seen;
    for (const Edge& e : edges) {
        if (e.a.ix != e.b.ix || e.a.iy != e.b.iy || e.a.layer == e.b.layer) continue;
        if (seen.insert(e.a).second) vias.push_back(e.a);
        if (seen.insert(e.b).second) vias.push_back(e.b);
    }
    return vias;
}

void RouteStore::set_geometry(const Geometry& g) {
    geo_ = g;
    packs_ = g.nx > 0 && g.ny > 0 && g.nz > 0 && static_cast<uint64_t>(g.layer_stride) * static_cast<uint64_t>(g.nz) <= (uint64_t{1} << 32);
}

bool RouteStore::pack(const EdgeList& edges, std::vector<uint64_t>& packed) const {
    packed.clear();
    if (!packs_) return edges.empty();
    packed.reserve(edges.size());
    for (const Edge& e : edges) {
        if (!geo_.inside(e.a) || !geo_.inside(e.b)) {
            std::vector<uint64_t>().swap(packed);
            return false;
        }
        packed.push_back(static_cast<uint64_t>(geo_.cell_id(e.a)) | static_cast<uint64_t>(geo_.cell_id(e.b)) << 32);
    }
    return true;
}

EdgeList RouteStore::edges(std::size_t slot) const {
    const std::vector<uint64_t>& packed = slot_packed_.at(slot);
    if (packed.empty()) return slot_edges_.at(slot);
    EdgeList out;
    out.reserve(packed.size());
    for (const uint64_t p : packed)
        out.push_back(Edge{geo_.cell_of(static_cast<int64_t>(p & 0xFFFFFFFFu)), geo_.cell_of(static_cast<int64_t>(p >> 32))});
    return out;
}

void RouteStore::init(std::vector<NetRoute> nets) {
    std::vector<NetId> slot_net;
    std::vector<CellList> slot_cells, slot_vias;
    std::vector<std::vector<uint64_t>> slot_packed;
    std::vector<EdgeList> slot_edges;
    std::vector<Bounds> slot_bounds;
    std::vector<uint64_t> slot_hash_of;
    HashMap<NetId, std::size_t> net_slot;
    slot_net.reserve(nets.size());
    slot_cells.reserve(nets.size());
    slot_vias.reserve(nets.size());
    slot_packed.reserve(nets.size());
    slot_edges.reserve(nets.size());
    slot_bounds.reserve(nets.size());
    slot_hash_of.reserve(nets.size());
    uint64_t sum = 0;
    for (NetRoute& r : nets) {
        net_slot[r.net] = slot_net.size();
        slot_hash_of.push_back(slot_hash(slot_net.size(), r.net, content_hash(r.cells, r.edges)));
        sum += slot_hash_of.back();
        slot_net.push_back(r.net);
        slot_vias.push_back(via_from_edges(r.edges));
        slot_bounds.push_back(Bounds::of(r.cells));
        slot_cells.push_back(std::move(r.cells));
        std::vector<uint64_t>& packed = slot_packed.emplace_back();
        slot_edges.push_back(pack(r.edges, packed) ? EdgeList{} : std::move(r.edges));
    }
    // Built aside and swapped in, so a failed allocation leaves the old store whole.
    slot_net_.swap(slot_net);
    slot_cells_.swap(slot_cells);
    slot_vias_.swap(slot_vias);
    slot_packed_.swap(slot_packed);
    slot_edges_.swap(slot_edges);
    slot_bounds_.swap(slot_bounds);
    slot_hash_.swap(slot_hash_of);
    net_slot_.swap(net_slot);
    hash_sum_ = sum;
}

RouteStore::PreparedRoute RouteStore::prepare(CellList cells, EdgeList edges) const {
    PreparedRoute p;
    p.content = content_hash(cells, edges);
    p.vias = via_from_edges(edges);
    if (!pack(edges, p.packed)) p.edges = std::move(edges);
    p.cells = std::move(cells);
    return p;
}

void RouteStore::replace(std::size_t slot, PreparedRoute route) noexcept {
    const uint64_t h = slot_hash(slot, slot_net_[slot], route.content);
    hash_sum_ += h - slot_hash_[slot];
    slot_hash_[slot] = h;
    slot_bounds_[slot] = Bounds::of(route.cells);
    slot_vias_[slot] = std::move(route.vias);
    slot_cells_[slot] = std::move(route.cells);
    slot_packed_[slot] = std::move(route.packed);
    slot_edges_[slot] = std::move(route.edges);
}

std::optional<std::size_t> RouteStore::slot_of(NetId net) const {
    const auto it = net_slot_.find(net);
    if (it == net_slot_.end()) return std::nullopt;
    return it->second;
}

uint64_t RouteStore::digest() const { return hash_mix(hash_mix(hash_sum_, static_cast<uint32_t>(slot_count())), 0); }

uint64_t RouteStore::digest_from_scratch() const {
    uint64_t sum = 0;
    for (std::size_t s = 0; s < slot_count(); ++s) sum += slot_hash(s, slot_net_[s], content_hash(slot_cells_[s], edges(s)));
    return hash_mix(hash_mix(sum, static_cast<uint32_t>(slot_count())), 0);
}

std::size_t RouteStore::memory_bytes() const {
    std::size_t bytes = vector_bytes(slot_net_) + vector_bytes(slot_cells_) + vector_bytes(slot_vias_) +
                        vector_bytes(slot_packed_) + vector_bytes(slot_edges_) + vector_bytes(slot_bounds_) +
                        vector_bytes(slot_hash_) +
                        net_slot_.bucket_count() * (sizeof(std::pair<NetId, std::size_t>) + 1);
    for (std::size_t s = 0; s < slot_count(); ++s)
        bytes += vector_bytes(slot_cells_[s]) + vector_bytes(slot_vias_[s]) + vector_bytes(slot_packed_[s]) +
                 vector_bytes(slot_edges_[s]);
    return bytes;
}

}  // namespace tovrana
