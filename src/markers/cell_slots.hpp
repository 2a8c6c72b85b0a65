#pragma once
// Per-call index from an in-plane cell (0 <= x < nx, 0 <= y < ny, any layer) to a
// slot holding an int32 (-1 when the cell was never seen). Cells are identified by
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
// apart can share a wrapped id; there the index falls back to one hash entry per
// cell id so that such cells keep sharing a slot.
#include <cstdint>
#include <vector>

#include "grid/geometry.hpp"

namespace tovrana::markers {

class CellSlots {
public:
    explicit CellSlots(const Geometry& g)
        : g_(g),
          tiled_(g.nx > 0 && g.ny > 0 && static_cast<uint64_t>(g.layer_stride) < (uint64_t{1} << 32)) {
    }

    // The slot of in-plane cell (x, y, layer). The reference stays valid until the
    // next call.
    int32_t& slot(int32_t x, int32_t y, int32_t layer) {
        if (!tiled_) return by_id_.try_emplace(g_.cell_id(x, y, layer), -1).first->second;
        const int32_t tx = x >> kShift, ty = y >> kShift;
        if (tx != last_tx_ || ty != last_ty_ || layer != last_layer_ || last_base_ < 0) {
            last_tx_ = tx;
            last_ty_ = ty;
            last_layer_ = layer;
            last_base_ = tile_base(tx, ty, layer);
        }
        return slots_[static_cast<std::size_t>(last_base_) +
                      static_cast<std::size_t>(((x & kMask) << kShift) | (y & kMask))];
    }

    void reserve_cells(std::size_t n) {
        if (tiled_) {
            const std::size_t tiles = n / (kSide * kSide) + 1;
            tile_of_.reserve(tiles);
            slots_.reserve(tiles * kSide * kSide);
        } else {
            by_id_.reserve(n);
        }
    }

private:
    static constexpr int32_t kShift = 3;
    static constexpr int32_t kSide = 1 << kShift;
    static constexpr int32_t kMask = kSide - 1;
    static constexpr std::size_t kCache = 64;

    struct CacheLine {
        bool valid = false;
        int32_t tx = 0, ty = 0, layer = 0;
        int64_t base = 0;
    };

    int64_t tile_base(int32_t tx, int32_t ty, int32_t layer) {
        CacheLine& line = cache_[(static_cast<uint32_t>(tx) * 7u + static_cast<uint32_t>(ty) * 13u +
                                  static_cast<uint32_t>(layer) * 29u) %
                                 kCache];
        if (line.valid && line.tx == tx && line.ty == ty && line.layer == layer) return line.base;
        const int64_t key = g_.cell_id(tx << kShift, ty << kShift, layer);
        auto [it, fresh] = tile_of_.try_emplace(key, static_cast<int64_t>(slots_.size()));
        if (fresh) slots_.resize(slots_.size() + kSide * kSide, -1);
        line = CacheLine{true, tx, ty, layer, it->second};
        return it->second;
    }

    const Geometry& g_;
    const bool tiled_;
    int32_t last_tx_ = 0, last_ty_ = 0, last_layer_ = 0;
    int64_t last_base_ = -1;
    CacheLine cache_[kCache];
    HashMap<int64_t, int64_t> tile_of_;
    std::vector<int32_t> slots_;
    HashMap<int64_t, int32_t> by_id_;
};

}  // namespace tovrana::markers
