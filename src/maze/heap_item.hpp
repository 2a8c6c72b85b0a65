#pragma once
// The search queue: HeapItem and the fixed pop order (f, g, ix, iy, layer, dir).
// Equal keys mean the same state at the same cost, so any correct heap yields the
// same pop sequence; no insertion counter takes part.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <vector>

#include "grid/panic.hpp"

namespace tovrana::maze {

// A double as an unsigned integer with the same order, for every value but NaN
// (refused by the queue) and -0.0 (never a cost here: g starts at +0.0 and every
// step is a sum with a positive turn term, so no -0.0 can arise).
inline uint64_t order_key(double v) {
    const uint64_t b = std::bit_cast<uint64_t>(v);
    return (b >> 63) ? ~b : b | (uint64_t{1} << 63);
}
inline double from_order_key(uint64_t k) {
    return std::bit_cast<double>((k >> 63) ? k & ~(uint64_t{1} << 63) : ~k);
}

struct HeapItem {
    // f = g + heuristic and g, as order keys: (f, g) compare as one 128-bit number.
    unsigned __int128 cost = 0;
    // (ix, iy, layer, dir) as one number that sorts the same way: the search only
    // queues in-grid cells, so ((ix * ny + iy) * nz + layer) * 7 + dir is exact and
    // below 7 * the grid's cell count.
    uint64_t place = 0;
    uint32_t rec = 0;  // the state's cell record in the run's table (carried, never compared)
    uint8_t dir = 0;   // carried, already part of `place`

    HeapItem() = default;
    HeapItem(double f, double g, uint64_t place_, uint32_t rec_, uint8_t dir_)
        : cost((static_cast<unsigned __int128>(order_key(f)) << 64) | order_key(g)),
          place(place_), rec(rec_), dir(dir_) {}
    double g() const { return from_order_key(static_cast<uint64_t>(cost)); }
};

// The `place` of an in-grid cell with direction 0.
inline uint64_t place_of(int32_t ix, int32_t iy, int32_t layer, int32_t ny, int32_t nz) {
    return ((uint64_t(uint32_t(ix)) * uint32_t(ny) + uint32_t(iy)) * uint32_t(nz) + uint32_t(layer)) * 7;
}

// True when `a` leaves the queue before `b`. Bitwise, not short-circuit: ties are
// common, and branches on them mispredict.
inline bool pops_before(const HeapItem& a, const HeapItem& b) {
    return (a.cost < b.cost) | ((a.cost == b.cost) & (a.place < b.place));
}

// Min-heap in the order above, four children per node: half the depth of a binary
// heap, and the children of a node lie side by side.
class Queue {
public:
    bool empty() const { return items_.empty(); }
    std::size_t size() const { return items_.size(); }

    void push(double f, double g, uint64_t place, uint32_t rec, uint8_t dir) {
        if (f != f || g != g) throw Panic("NaN cost in the search queue order");
        const HeapItem item(f, g, place, rec, dir);
        std::size_t i = items_.size();
        items_.push_back(item);
        while (i > 0) {
            const std::size_t parent = (i - 1) / kArity;
            if (!pops_before(item, items_[parent])) break;
            items_[i] = items_[parent];
            i = parent;
        }
        items_[i] = item;
    }
    HeapItem pop() {
        const HeapItem top = items_.front();
        const HeapItem last = items_.back();
        items_.pop_back();
        const std::size_t n = items_.size();
        if (n == 0) return top;
        // sift the hole at the root down, then drop `last` into it
        std::size_t i = 0;
        for (;;) {
            const std::size_t first = i * kArity + 1;
            if (first >= n) break;
            const std::size_t end = std::min(first + kArity, n);
            std::size_t best = first;
            for (std::size_t c = first + 1; c < end; ++c) best = pops_before(items_[c], items_[best]) ? c : best;
            if (!pops_before(items_[best], last)) break;
            items_[i] = items_[best];
            i = best;
        }
        items_[i] = last;
        return top;
    }

private:
    static constexpr std::size_t kArity = 4;
    std::vector<HeapItem> items_;
};

}  // namespace tovrana::maze
