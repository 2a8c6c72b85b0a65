#include "state/grid.hpp"

#include <algorithm>
#include <stdexcept>
#include <tuple>

#include "grid/hash_mix.hpp"

namespace tovrana {
namespace {

int64_t checked_cell_count(int64_t nx, int64_t ny, int64_t nz) {
    int64_t plane = 0, total = 0;
    if (__builtin_mul_overflow(nx, ny, &plane) || __builtin_mul_overflow(plane, nz, &total) || total < 0)
        throw Panic("capacity overflow");
    return total;
}

// Each listed cell's count changes by the times it is listed: -1 per old, +1 per
// new cell, by ascending (cell, net), zeros left out.
std::vector<OccChange> shape_changes(const Geometry& g, NetId net, const CellList& old_cells, const CellList& cells) {
    std::vector<OccChange> changes;
    changes.reserve(old_cells.size() + cells.size());
    for (const Cell& c : old_cells) changes.push_back({g.cell_id(c), net, -1});
    for (const Cell& c : cells) changes.push_back({g.cell_id(c), net, 1});
    std::sort(changes.begin(), changes.end(), [](const OccChange& a, const OccChange& b) { return a.cell < b.cell; });
    std::size_t kept = 0;
    for (std::size_t i = 0; i < changes.size();) {
        int32_t sum = 0;
        std::size_t j = i;
        for (; j < changes.size() && changes[j].cell == changes[i].cell; ++j) sum += changes[j].d;
        if (sum != 0) changes[kept++] = {changes[i].cell, net, sum};
        i = j;
    }
    changes.resize(kept);
    return changes;
}

}  // namespace

Grid::Grid(int32_t nx, int32_t ny, int32_t nz, const std::vector<BlockedEntry>& blocked,
           const std::vector<PadEntry>& pad_owner, const std::vector<Column>& via_blocked,
           std::vector<ViaRule> via_index)
    : via_index_(std::move(via_index)) {
    const int64_t n_cells = checked_cell_count(nx, ny, nz);
    geo_ = Geometry{nx, ny, nz, wrap_mul_add(nx, ny, 0)};
    blocked_ = BitSet(static_cast<std::size_t>(n_cells));
    pads_ = BitSet(static_cast<std::size_t>(n_cells));
    for (const BlockedEntry& b : blocked) {
        const Cell c{b.ix, b.iy, b.layer};
        if (geo_.inside(c)) blocked_.set(static_cast<std::size_t>(geo_.cell_id(c)));
    }
    // A later entry for a cell wins; a negative owner frees the cell again.
    for (const PadEntry& p : pad_owner) {
        const Cell c{p.ix, p.iy, p.layer};
        if (geo_.inside(c)) pad_owner_[geo_.cell_id(c)] = p.owner;
    }
    boost::unordered::erase_if(pad_owner_, [](const auto& entry) { return entry.second < 0; });
    for (const auto& [id, owner] : pad_owner_) pads_.set(static_cast<std::size_t>(id));
    // A listed column outside the grid blocks the in-grid column with the same key.
    const bool has_cells = nx > 0 && ny > 0 && nz > 0;
    const std::size_t columns = has_cells ? static_cast<std::size_t>(geo_.layer_stride) : 0;
    via_blocked_ = BitSet(columns);
    for (const Column& col : via_blocked) {
        const int64_t key = geo_.column_key(col.ix, col.iy);
        if (key >= 0 && static_cast<uint64_t>(key) < columns) via_blocked_.set(static_cast<std::size_t>(key));
    }
    occ = OccMap(n_cells);
    routes.set_geometry(geo_);
}

namespace {

// The shape of a store's routes: every listed cell of every slot, under its net.
OccMap shape_of(const Geometry& g, const RouteStore& routes) {
    OccMap shape(g.layer_stride * g.nz);
    for (std::size_t s = 0; s < routes.slot_count(); ++s)
        for (const Cell& c : routes.cells(s)) shape.add(g.cell_id(c), routes.net(s));
    return shape;
}

std::vector<std::tuple<int64_t, NetId, uint32_t>> triples(const OccMap& map) {
    std::vector<std::tuple<int64_t, NetId, uint32_t>> out;
    map.for_each([&](int64_t cell, NetId net, uint32_t count) { out.emplace_back(cell, net, count); });
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace

void Grid::init_routes(std::vector<NetRoute> nets) {
    routes.init(std::move(nets));
    const std::lock_guard lock(shape_lock_);
    shape_.reset();
}

void Grid::update_route(NetId net, CellList cells, EdgeList edges, bool follow_occ) {
    const auto slot = routes.slot_of(net);
    if (!slot) return;
    std::vector<OccChange> changes;
    if (shape_) changes = shape_changes(geo_, net, routes.cells(*slot), cells);
    RouteStore::PreparedRoute route = routes.prepare(std::move(cells), std::move(edges));
    if (follow_occ) {
        OccDelta delta;
        const FootprintRule rule = occ_footprints();
        occ_apply_local(delta, occ, geo_, rule, net, routes.cells(*slot), routes.vias(*slot), false);
        occ_apply_local(delta, occ, geo_, rule, net, route.cells, route.vias, true);
        const std::vector<OccChange> moved = occ_changes(delta);
        const std::span<const OccChange> lists[] = {moved};
        occ.fold(lists, 1);  // all or nothing
    }
    if (shape_) {
        const std::span<const OccChange> lists[] = {changes};
        try {
            shape_->fold(lists, 1);  // all or nothing
        } catch (...) {
            if (!follow_occ) throw;  // nothing has changed yet
            // occ has changed already; the shape is only a cache of the store, so drop
            // it (the next reader builds it afresh) rather than stop half-way
            const std::lock_guard lock(shape_lock_);
            shape_.reset();
        }
    }
    routes.replace(*slot, std::move(route));  // cannot fail
}

const OccMap& Grid::route_shape() const {
    const std::lock_guard lock(shape_lock_);
    if (!shape_) shape_ = std::make_unique<OccMap>(shape_of(geo_, routes));
    return *shape_;
}

bool Grid::shape_matches_routes() const {
    const std::lock_guard lock(shape_lock_);
    return !shape_ || (shape_->consistent() && triples(shape_of(geo_, routes)) == triples(*shape_));
}

std::vector<std::pair<const char*, std::size_t>> Grid::memory_usage() const {
    std::size_t shape_bytes = 0;
    {
        const std::lock_guard lock(shape_lock_);
        if (shape_) shape_bytes = shape_->memory_bytes();
    }
    std::size_t consts_bytes = consts.obstacles().bucket_count() * (sizeof(int64_t) + 1) +
                               consts.supply.bucket_count() * (sizeof(NetId) + 1) +
                               consts.name_rank.bucket_count() * (sizeof(std::pair<NetId, int32_t>) + 1) +
                               consts.termsets.bucket_count() * (sizeof(std::pair<NetId, TermSets>) + 1);
    for (const auto& [net, sets] : consts.termsets) {
        consts_bytes += sets.capacity() * sizeof(CellList);
        for (const CellList& s : sets) consts_bytes += s.capacity() * sizeof(Cell);
    }
    return {
        {"blocked", blocked_.memory_bytes()},
        {"pads", pads_.memory_bytes() + pad_owner_.bucket_count() * (sizeof(std::pair<int64_t, NetId>) + 1)},
        {"via_blocked", via_blocked_.memory_bytes()},
        {"route store", routes.memory_bytes()},
        {"route shape", shape_bytes},
        {"occ", occ.memory_bytes()},
        {"worker constants", consts_bytes},
    };
}

void Grid::set_track_model(std::shared_ptr<const TrackModel> tracks) {
    std::shared_ptr<const SpacingRule> spacing;
    if (spacing_) spacing = SpacingRule::build(tracks, spacing_->layers());
    tracks_ = std::move(tracks);
    spacing_ = std::move(spacing);
}

void Grid::set_no_via_cells(HashSet<int64_t> cells) {
    std::vector<int64_t> sorted(cells.begin(), cells.end());  // the digest must not see hash order
    std::sort(sorted.begin(), sorted.end());
    uint64_t h = hash_mix64(0, sorted.size());
    for (const int64_t id : sorted) h = hash_mix64(h, static_cast<uint64_t>(id));
    no_via_.swap(cells);
    no_via_digest_ = h;
}

void Grid::set_spacing(std::optional<std::vector<SpacingLayer>> layers) {
    if (!layers) {
        spacing_.reset();
        return;
    }
    if (!tracks_) throw std::invalid_argument("a spacing model needs a track model: call set_track_model first");
    spacing_ = SpacingRule::build(tracks_, std::move(*layers));
}

uint64_t Grid::rules_digest() const {
    const auto of = [](const auto& p) { return p ? hash_mix64(1, p->digest()) : uint64_t{0}; };
    const uint64_t h = hash_mix64(hash_mix64(hash_mix64(hash_mix64(0, of(tracks_)), no_via_digest_), of(spacing_)), of(occ_spacing));
    return hash_mix64(h, of(guides_));
}

}  // namespace tovrana
