#pragma once
// The driver's global routes, one fixed slot per net in the driver's order.
// Invariant: the slot arrays (net, cells, vias, edges, bounds, hash) have one
// length, and for every (net, slot) of net_slot, slot_net[slot] == net.
#include <cstddef>
#include <optional>

#include "grid/geometry.hpp"

namespace tovrana {

// Via cells of a route: endpoints of edges that change layer in one column, in
// order of first appearance (a before b), each once.
CellList via_from_edges(const EdgeList& edges);

struct NetRoute {
    NetId net = 0;
    CellList cells;
    EdgeList edges;
};

class RouteStore {
public:
    // The grid whose cell ids pack the edges of its routes.
    void set_geometry(const Geometry& g);
    // Replaces the whole store; slots follow the order of `nets`.
    void init(std::vector<NetRoute> nets);
    // Replacing one slot's route: prepare (everything that can fail), then replace.
    struct PreparedRoute {
        CellList cells;
        CellList vias;
        std::vector<uint64_t> packed;
        EdgeList edges;  // when they cannot be packed
        uint64_t content = 0;
    };
    PreparedRoute prepare(CellList cells, EdgeList edges) const;
    void replace(std::size_t slot, PreparedRoute route) noexcept;

    std::size_t slot_count() const { return slot_net_.size(); }
    NetId net(std::size_t slot) const { return slot_net_.at(slot); }
    const CellList& cells(std::size_t slot) const { return slot_cells_.at(slot); }
    const CellList& vias(std::size_t slot) const { return slot_vias_.at(slot); }
    // A slot's edges, unpacked (a copy: keep it while you use it).
    EdgeList edges(std::size_t slot) const;
    const Bounds& bounds(std::size_t slot) const { return slot_bounds_.at(slot); }
    std::optional<std::size_t> slot_of(NetId net) const;

    // Digest of the slot order, nets, cells and edges: equal for stores given the
    // same calls, in every process. Kept current, so reading it costs nothing.
    uint64_t digest() const;
    // The same, computed afresh (for checks).
    uint64_t digest_from_scratch() const;
    // Bytes the store holds (its arrays, their slack included).
    std::size_t memory_bytes() const;

private:
    std::vector<NetId> slot_net_;
    std::vector<CellList> slot_cells_;
    std::vector<CellList> slot_vias_;
    // A slot's edges as pairs of 32-bit cell ids (a low, b high): 8 bytes an edge
    // instead of 24. A slot with an edge end outside the grid keeps them as given.
    std::vector<std::vector<uint64_t>> slot_packed_;
    std::vector<EdgeList> slot_edges_;  // only for slots that cannot be packed
    std::vector<Bounds> slot_bounds_;  // of each slot's cells, for the marker engine's culling
    std::vector<uint64_t> slot_hash_;  // of each slot's position, net, cells and edges
    uint64_t hash_sum_ = 0;            // wrapping sum of slot_hash_
    HashMap<NetId, std::size_t> net_slot_;
    Geometry geo_;
    bool packs_ = false;  // the grid's cell ids fit 32 bits

    // Packs the edges, or leaves `packed` empty and returns false.
    bool pack(const EdgeList& edges, std::vector<uint64_t>& packed) const;
};

}  // namespace tovrana
