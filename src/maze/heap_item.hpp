#pragma once
// The search queue: HeapItem and the fixed pop order (f, g, ix, iy, layer, dir).
// Equal keys mean the same state at the same cost, so any correct heap yields the
// same pop sequence; no insertion counter takes part.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "grid/panic.hpp"

namespace tovrana::maze {

struct HeapItem {
    double f = 0.0;  // g + heuristic
    double g = 0.0;
    // (ix, iy, layer, dir) as one number that sorts the same way: the search only
    // queues in-grid cells, so ((ix * ny + iy) * nz + layer) * 7 + dir is exact and
    // below 7 * the grid's cell count.
    uint64_t place = 0;
    uint32_t rec = 0;  // the state's cell record in the run's table (carried, never compared)
    uint8_t dir = 0;   // carried, already part of `place`
};

// The `place` of an in-grid cell with direction 0.
inline uint64_t place_of(int32_t ix, int32_t iy, int32_t layer, int32_t ny, int32_t nz) {
    return ((uint64_t(uint32_t(ix)) * uint32_t(ny) + uint32_t(iy)) * uint32_t(nz) + uint32_t(layer)) * 7;
}

// True when `a` leaves the queue before `b`. Costs are never NaN here: push
// refuses them (and relax never produces one, since a NaN g fails the improvement
// test), so plain comparisons give the full order.
inline bool pops_before(const HeapItem& a, const HeapItem& b) {
    if (a.f != b.f) return a.f < b.f;
    if (a.g != b.g) return a.g < b.g;
    return a.place < b.place;
}

// Binary min-heap in the order above.
class Queue {
public:
    bool empty() const { return items_.empty(); }
    std::size_t size() const { return items_.size(); }

    void push(const HeapItem& item) {
        if (item.f != item.f || item.g != item.g) throw Panic("NaN cost in the search queue order");
        items_.push_back(item);
        std::push_heap(items_.begin(), items_.end(), Later{});
    }
    HeapItem pop() {
        std::pop_heap(items_.begin(), items_.end(), Later{});
        const HeapItem top = items_.back();
        items_.pop_back();
        return top;
    }

private:
    struct Later {
        bool operator()(const HeapItem& a, const HeapItem& b) const { return pops_before(b, a); }
    };
    std::vector<HeapItem> items_;
};

}  // namespace tovrana::maze
