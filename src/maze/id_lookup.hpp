#pragma once
// A per-search view of a cell-id set with the range of its ids in front: the sets
// of a search (hard cells, markers, fixed cells) are small and local, so most
// lookups fall outside the range and never hash.
#include <algorithm>
#include <cstdint>
#include <limits>

#include "grid/types.hpp"

namespace tovrana::maze {

class IdLookup {
public:
    explicit IdLookup(const HashSet<int64_t>& set) : set_(set) {
        for (const int64_t id : set) {
            lo_ = std::min(lo_, id);
            hi_ = std::max(hi_, id);
        }
    }
    bool contains(int64_t id) const { return id >= lo_ && id <= hi_ && set_.contains(id); }

private:
    const HashSet<int64_t>& set_;
    int64_t lo_ = std::numeric_limits<int64_t>::max();  // empty: no id is in range
    int64_t hi_ = std::numeric_limits<int64_t>::min();
};

}  // namespace tovrana::maze
