#pragma once
// A per-search view of a cell-id set with the range of its ids in front: the sets
// of a search (hard cells, markers, fixed cells) are small and local, so most
// lookups fall outside the range and never hash. A view may join a second set
// (a box worker's keep-outs are the global obstacles and its own few), so that
// neither has to be copied into the other.
#include "grid/id_range.hpp"

namespace tovrana::maze {

class IdLookup {
public:
    explicit IdLookup(const HashSet<int64_t>& set) : IdLookup(set, IdRange::of(set)) {}
    // `range` must cover every id of `set`; a caller that keeps it spares the scan.
    IdLookup(const HashSet<int64_t>& set, IdRange range) : set_(&set), range_(range) {}
    // The set `first` views and the one `more` views (each a view of one set): an id
    // either holds.
    IdLookup(const IdLookup& first, const IdLookup& more)
        : set_(first.set_), range_(first.range_), more_set_(more.set_), more_range_(more.range_) {}

    bool contains(int64_t id) const {
        return (range_.holds(id) && set_->contains(id)) ||
               (more_set_ && more_range_.holds(id) && more_set_->contains(id));
    }

private:
    const HashSet<int64_t>* set_;
    IdRange range_;
    const HashSet<int64_t>* more_set_ = nullptr;
    IdRange more_range_;
};

}  // namespace tovrana::maze
