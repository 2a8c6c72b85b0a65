#pragma once
// Per-call store of one record (`Slot`, default-constructed on first touch) per
// in-plane cell (0 <= x < nx, 0 <= y < ny, any layer). Cells are identified by
// their cell id, exactly as a map keyed by cell_id would.
//
// Storage is tiled: 8 x 8 blocks of one layer, allocated on first touch and found
// through a hash map keyed by the cell id of the block's origin. Footprint walks
// are spatially local, so almost every visit lands in the block of the previous
// visit or in a small direct-mapped cache, and memory grows with the touched area
// rather than with the grid.
//
// The tiled layout is only valid when distinct in-plane cells have distinct ids,
// which holds whenever nx * ny < 2^32. For larger planes two cells on layers far
// apart can share a wrapped id; there the store falls back to one hash entry per
// cell id so that such cells keep sharing a record.
#include <cstdint>
#include <vector>

#include "grid/geometry.hpp"

namespace tovrana::markers {

template <class Slot>
class CellSlots {
public:
    explicit CellSlots(const Geometry& g)
        : g_(g), tiled_(g.nx > 0 && g.ny > 0 && static_cast<uint64_t>(g.layer_stride) < (uint64_t{1} << 32)) {}

    // Position of the record of in-plane cell (x, y, layer), created when new.
    // Positions are stable for the life of the store; references are not.
    std::size_t at(int32_t x, int32_t y, int32_t layer) {
        if (!tiled_) {
            const auto [it, fresh] = by_id_.try_emplace(g_.cell_id(x, y, layer), slots_.size());
            if (fresh) {
                slots_.emplace_back();
                cells_.push_back(Cell{x, y, layer});
            }
            return it->second;
        }
        const int32_t tx = x >> kShift, ty = y >> kShift;
        if (tx != last_.tx || ty != last_.ty || layer != last_.layer || !last_.valid) last_ = tile(tx, ty, layer);
        return last_.base + static_cast<std::size_t>(((x & kMask) << kShift) | (y & kMask));
    }

    // The record of in-plane cell (x, y, layer), or null when it was never created.
    Slot* find(int32_t x, int32_t y, int32_t layer) {
        if (!tiled_) {
            const auto it = by_id_.find(g_.cell_id(x, y, layer));
            return it == by_id_.end() ? nullptr : &slots_[it->second];
        }
        const int32_t tx = x >> kShift, ty = y >> kShift;
        if (tx != last_.tx || ty != last_.ty || layer != last_.layer || !last_.valid) {
            const Cell origin{tx << kShift, ty << kShift, layer};
            const auto it = tile_of_.find(g_.cell_id(origin));
            if (it == tile_of_.end()) return nullptr;
            last_ = TileRef{true, tx, ty, layer, it->second};
        }
        return &slots_[last_.base + static_cast<std::size_t>(((x & kMask) << kShift) | (y & kMask))];
    }

    Slot& operator[](std::size_t pos) { return slots_[pos]; }

    // True when records are kept per in-plane cell (x, y, layer) rather than per id.
    bool tiled() const { return tiled_; }

    // The cell whose record sits at `pos`.
    Cell cell_at(std::size_t pos) const {
        if (!tiled_) return cells_[pos];
        Cell c = cells_[pos >> (2 * kShift)];
        c.ix += static_cast<int32_t>((pos >> kShift) & kMask);
        c.iy += static_cast<int32_t>(pos & kMask);
        return c;
    }

    // Forgets every record, keeping the storage for the next use.
    void clear() {
        last_ = TileRef{};
        for (TileRef& line : cache_) line = TileRef{};
        tile_of_.clear();
        by_id_.clear();
        slots_.clear();
        cells_.clear();
    }
    std::size_t capacity_bytes() const {
        return slots_.capacity() * sizeof(Slot) + cells_.capacity() * sizeof(Cell) +
               (tile_of_.bucket_count() + by_id_.bucket_count()) * sizeof(std::pair<int64_t, std::size_t>);
    }

    void reserve_cells(std::size_t n) {
        const std::size_t tiles = tiled_ ? n / (kSide * kSide) + 1 : n;
        (tiled_ ? tile_of_ : by_id_).reserve(tiles);
        cells_.reserve(tiles);
        slots_.reserve(tiled_ ? tiles * kSide * kSide : n);
    }

private:
    static constexpr int32_t kShift = 3;
    static constexpr std::size_t kSide = std::size_t{1} << kShift;
    static constexpr int32_t kMask = kSide - 1;
    static constexpr std::size_t kCache = 64;

    struct TileRef {
        bool valid = false;
        int32_t tx = 0, ty = 0, layer = 0;
        std::size_t base = 0;
    };

    TileRef tile(int32_t tx, int32_t ty, int32_t layer) {
        TileRef& line = cache_[(static_cast<uint32_t>(tx) * 7u + static_cast<uint32_t>(ty) * 13u +
                                static_cast<uint32_t>(layer) * 29u) %
                               kCache];
        if (line.valid && line.tx == tx && line.ty == ty && line.layer == layer) return line;
        const Cell origin{tx << kShift, ty << kShift, layer};
        const auto [it, fresh] = tile_of_.try_emplace(g_.cell_id(origin), slots_.size());
        if (fresh) {
            slots_.resize(slots_.size() + kSide * kSide);
            cells_.push_back(origin);
        }
        line = TileRef{true, tx, ty, layer, it->second};
        return line;
    }

    const Geometry& g_;
    const bool tiled_;
    TileRef last_;
    TileRef cache_[kCache];
    HashMap<int64_t, std::size_t> tile_of_;  // tiled: origin id -> first position
    HashMap<int64_t, std::size_t> by_id_;    // fallback: cell id -> position
    std::vector<Slot> slots_;
    std::vector<Cell> cells_;  // tiled: origin per tile; fallback: cell per record
};

}  // namespace tovrana::markers
