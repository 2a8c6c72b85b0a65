#pragma once
// The smallest and largest id of a cell-id set. Most cells a search meets lie
// outside the range of a small local set, and a range check is cheaper than a hash.
#include <algorithm>
#include <cstdint>
#include <limits>

#include "grid/types.hpp"

namespace tovrana {

struct IdRange {
    int64_t lo = std::numeric_limits<int64_t>::max();  // empty: no id is in range
    int64_t hi = std::numeric_limits<int64_t>::min();

    static IdRange of(const HashSet<int64_t>& set) {
        IdRange r;
        for (const int64_t id : set) {
            r.lo = std::min(r.lo, id);
            r.hi = std::max(r.hi, id);
        }
        return r;
    }
    bool holds(int64_t id) const { return id >= lo && id <= hi; }
};

}  // namespace tovrana
