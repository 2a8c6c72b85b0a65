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
    int32_t ix = 0, iy = 0, layer = 0;
    uint32_t rec = 0;  // the state's cell record in the run's table (carried, never compared)
    uint8_t dir = 0;
};

// Three-way compare of two queue costs; a NaN on either side is a failure.
inline int compare_cost(double a, double b) {
    if (a < b) return -1;
    if (a > b) return 1;
    if (a == b) return 0;
    throw Panic("NaN cost in the search queue order");
}

// True when `a` leaves the queue before `b`.
inline bool pops_before(const HeapItem& a, const HeapItem& b) {
    if (const int c = compare_cost(a.f, b.f)) return c < 0;
    if (const int c = compare_cost(a.g, b.g)) return c < 0;
    if (a.ix != b.ix) return a.ix < b.ix;
    if (a.iy != b.iy) return a.iy < b.iy;
    if (a.layer != b.layer) return a.layer < b.layer;
    return a.dir < b.dir;
}

// Binary min-heap in the order above.
class Queue {
public:
    bool empty() const { return items_.empty(); }
    std::size_t size() const { return items_.size(); }

    void push(const HeapItem& item) {
        items_.push_back(item);
        std::push_heap(items_.begin(), items_.end(), later);
    }
    HeapItem pop() {
        std::pop_heap(items_.begin(), items_.end(), later);
        const HeapItem top = items_.back();
        items_.pop_back();
        return top;
    }

private:
    static bool later(const HeapItem& a, const HeapItem& b) { return pops_before(b, a); }
    std::vector<HeapItem> items_;
};

}  // namespace tovrana::maze
