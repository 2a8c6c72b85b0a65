#include "state/grid.hpp"

#include <algorithm>
#include <stdexcept>

#include "grid/hash_mix.hpp"

namespace tovrana {
namespace {

int64_t checked_cell_count(int64_t nx, int64_t ny, int64_t nz) {
    int64_t plane = 0, total = 0;
    if (__builtin_mul_overflow(nx, ny, &plane) || __builtin_mul_overflow(plane, nz, &total) || total < 0)
        throw Panic("capacity overflow");
    return total;
}

}  // namespace

Grid::Grid(int32_t nx, int32_t ny, int32_t nz, const std::vector<BlockedEntry>& blocked,
           const std::vector<PadEntry>& pad_owner, const std::vector<Column>& via_blocked,
           std::vector<ViaRule> via_index)
    : via_index_(std::move(via_index)) {
    const int64_t n_cells = checked_cell_count(nx, ny, nz);
    geo_ = Geometry{nx, ny, nz, wrap_mul_add(nx, ny, 0)};
    blocked_.assign(static_cast<std::size_t>(n_cells), 0);
    pad_owner_.assign(static_cast<std::size_t>(n_cells), -1);
    for (const BlockedEntry& b : blocked) {
        const Cell c{b.ix, b.iy, b.layer};
        if (geo_.inside(c)) blocked_[static_cast<std::size_t>(geo_.cell_id(c))] = 1;
    }
    for (const PadEntry& p : pad_owner) {
        const Cell c{p.ix, p.iy, p.layer};
        if (geo_.inside(c)) pad_owner_[static_cast<std::size_t>(geo_.cell_id(c))] = p.owner;
    }
    // A listed column outside the grid blocks the in-grid column with the same key.
    const bool has_cells = nx > 0 && ny > 0 && nz > 0;
    via_blocked_.assign(has_cells ? static_cast<std::size_t>(geo_.layer_stride) : 0, 0);
    for (const Column& col : via_blocked) {
        const int64_t key = geo_.column_key(col.ix, col.iy);
        if (key >= 0 && static_cast<uint64_t>(key) < via_blocked_.size()) via_blocked_[static_cast<std::size_t>(key)] = 1;
    }
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
