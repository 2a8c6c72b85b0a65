#pragma once
// Grid geometry and the id conventions shared by every subsystem.
#include <cstdint>

#include "grid/arith.hpp"
#include "grid/types.hpp"

namespace tovrana {

struct Geometry {
    int32_t nx = 0, ny = 0, nz = 0;
    int64_t layer_stride = 0;  // nx * ny: id distance between adjacent layers

    // (layer * ny + iy) * nx + ix, wrapping; outside cells get an id all the same,
    // used only as a hash key.
    int64_t cell_id(int32_t ix, int32_t iy, int32_t layer) const {
        return wrap_mul_add(wrap_mul_add(layer, ny, iy), nx, ix);
    }
    int64_t cell_id(const Cell& c) const { return cell_id(c.ix, c.iy, c.layer); }
    int64_t column_key(int32_t ix, int32_t iy) const { return wrap_mul_add(iy, nx, ix); }

    // Inverse of cell_id for inside cells.
    Cell cell_of(int64_t id) const {
        const int64_t r = id % layer_stride;
        return Cell{static_cast<int32_t>(r % nx), static_cast<int32_t>(r / nx),
                    static_cast<int32_t>(id / layer_stride)};
    }

    bool in_plane(int64_t x, int64_t y) const { return 0 <= x && x < nx && 0 <= y && y < ny; }
    bool inside(const Cell& c) const { return in_plane(c.ix, c.iy) && 0 <= c.layer && c.layer < nz; }
};

// The gcell key gx * kGcellKeyStride + gy, the caller's name for a gcell in every
// corridor set. Keys of distinct gcells differ while a grid has fewer than
// kGcellKeyStride gcell rows, which covers any grid whose cell count fits memory;
// beyond that they alias, exactly as the caller's own keys do.
inline constexpr int64_t kGcellKeyStride = 2000000;
inline int64_t gcell_key(int32_t gx, int32_t gy) { return wrap_mul_add(gx, kGcellKeyStride, gy); }

}  // namespace tovrana
