#include "maze/cell_table.hpp"

#include <algorithm>

namespace tovrana::maze {
namespace {

// Dense index above this many cells (4 bytes each, mostly untouched) falls back to hashing.
constexpr int64_t kMaxWindowCells = int64_t{1} << 28;

// One axis of the gcell grid: coordinates 0..n-1 map to gcell indices c / gc
// (truncating), which lie in [lo, hi].
struct Axis {
    int64_t n, gc, lo, hi;
    Axis(int32_t extent, int32_t size) : n(extent), gc(size) {
        const int64_t last = (n - 1) / gc;
        lo = std::min<int64_t>(0, last);
        hi = std::max<int64_t>(0, last);
    }
    // In-grid coordinates whose gcell index is q (q within [lo, hi]).
    void span(int64_t q, int64_t& from, int64_t& to) const {
        const int64_t a = gc < 0 ? -gc : gc;
        const int64_t p = gc < 0 ? -q : q;  // c / |gc|
        from = p * a;
        to = std::min(n - 1, from + a - 1);
    }
};

int64_t floor_div(int64_t a, int64_t b) {  // b > 0
    const int64_t q = a / b;
    return (a % b < 0) ? q - 1 : q;
}

}  // namespace

std::optional<Window> corridor_window(const Geometry& g, int32_t gc, const HashSet<int64_t>& corridor,
                                      std::span<const Cell> anchors) {
    if (gc == 0 || g.nx <= 0 || g.ny <= 0) return std::nullopt;
    const Axis ax(g.nx, gc), ay(g.ny, gc);
    if (ay.hi - ay.lo >= kGcellKeyStride) return std::nullopt;  // keys no longer unique per gcell
    Window w;
    int64_t x0 = g.nx, y0 = g.ny, x1 = -1, y1 = -1;
    const auto add = [&](int64_t gx, int64_t gy) {
        w.gcells.emplace_back(gx, gy);
        int64_t a, b;
        ax.span(gx, a, b);
        x0 = std::min(x0, a), x1 = std::max(x1, b);
        ay.span(gy, a, b);
        y0 = std::min(y0, a), y1 = std::max(y1, b);
    };
    // Valid keys satisfy |key| < 2^52; anything beyond names no in-grid gcell.
    constexpr int64_t kKeyLimit = int64_t{1} << 53;
    for (const int64_t key : corridor) {
        if (key <= -kKeyLimit || key >= kKeyLimit) continue;
        const int64_t gx = floor_div(key - ay.lo, kGcellKeyStride);
        const int64_t gy = key - gx * kGcellKeyStride;
        if (gx < ax.lo || gx > ax.hi || gy < ay.lo || gy > ay.hi) continue;
        add(gx, gy);
    }
    for (const Cell& c : anchors) add(c.ix / gc, c.iy / gc);
    if (x1 < x0 || y1 < y0) return std::nullopt;
    if ((x1 - x0 + 1) * (y1 - y0 + 1) > kMaxWindowCells / std::max<int64_t>(g.nz, 1)) return std::nullopt;
    w.x0 = static_cast<int32_t>(x0), w.y0 = static_cast<int32_t>(y0);
    w.x1 = static_cast<int32_t>(x1), w.y1 = static_cast<int32_t>(y1);
    return w;
}

uint32_t* SlotBuffer::acquire(std::size_t cells) {
    if (cells > kKeepLimit) {
        once_.reset(static_cast<uint32_t*>(std::calloc(cells, sizeof(uint32_t))));
        if (!once_) throw std::bad_alloc();
        return once_.get();
    }
    if (cells > kept_cells_) {
        kept_.reset();
        kept_cells_ = 0;
        kept_.reset(static_cast<uint32_t*>(std::calloc(cells, sizeof(uint32_t))));
        if (!kept_) throw std::bad_alloc();
        kept_cells_ = cells;
    }
    return kept_.get();
}

void SlotBuffer::release() {
    if (once_) {
        once_.reset();
    } else {
        uint32_t* const slots = kept_.get();
        for (const uint32_t pos : touched_) slots[pos] = 0;
    }
    touched_.clear();
}

CellTable::CellTable(const Geometry& g, int32_t gc, std::optional<Window> window, SlotBuffer& buffer) {
    if (!window) return;
    win_ = std::move(*window);
    width_ = int64_t{win_.x1} - win_.x0 + 1;
    height_ = int64_t{win_.y1} - win_.y0 + 1;
    // gcell indices are monotone along each axis, so the window's gcells form a
    // rectangle starting at the smaller end's gcell
    const int32_t gx_base = std::min(win_.x0 / gc, win_.x1 / gc), gy_base = std::min(win_.y0 / gc, win_.y1 / gc);
    gcol_.resize(static_cast<std::size_t>(width_));
    grow_.resize(static_cast<std::size_t>(height_));
    for (int64_t x = 0; x < width_; ++x) gcol_[static_cast<std::size_t>(x)] = static_cast<int32_t>((win_.x0 + x) / gc - gx_base);
    for (int64_t y = 0; y < height_; ++y) grow_[static_cast<std::size_t>(y)] = static_cast<int32_t>((win_.y0 + y) / gc - gy_base);
    const int64_t gwidth = int64_t{std::max(win_.x0 / gc, win_.x1 / gc)} - gx_base + 1;
    gheight_ = int64_t{std::max(win_.y0 / gc, win_.y1 / gc)} - gy_base + 1;
    corridor_.assign(static_cast<std::size_t>(gwidth * gheight_), 0);
    for (const auto& [gx, gy] : win_.gcells) corridor_[static_cast<std::size_t>((gx - gx_base) * gheight_ + (gy - gy_base))] = 1;

    const auto cells = static_cast<std::size_t>(width_ * height_ * g.nz);
    dense_ = buffer.acquire(cells);
}

}  // namespace tovrana::maze
