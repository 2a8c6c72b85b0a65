#pragma once
// The route store's slots by the columns and the rows their bounds span. A box
// worker's marker check needs only the routes that can reach its region, but the
// store holds every net of the design: walking all of them on every check made a
// box cost more the larger the design.
#include <cstdint>
#include <vector>

#include "grid/route_store.hpp"

namespace tovrana {

class SlotIndex {
public:
    static constexpr int64_t kStripLines = 64;

    // Indexes the store as it is now, in strips of `strip_lines` columns and rows
    // (more on a grid too wide for 65,536 strips); the store must not change while
    // the index is used.
    SlotIndex(const RouteStore& store, const Geometry& g, int64_t strip_lines = kStripLines);

    // Ascending slots whose bounds overlap the band of columns or the band of rows
    // (an empty band, lo > hi, matches nothing), plus every slot whose bounds leave
    // the grid plane. Slots with no cells are never listed.
    struct Band {
        int64_t lo = 0, hi = -1;
    };
    std::vector<uint32_t> crossing(Band columns, Band rows) const;

private:
    static constexpr int64_t kMaxStrips = int64_t{1} << 16;

    // One axis: per strip of `strip` lines, the ascending slots whose bounds reach it.
    struct Axis {
        Axis(int64_t extent, int64_t strip_lines);
        void add(int64_t lo, int64_t hi, uint32_t slot);
        int64_t extent;
        int64_t strip;
        std::vector<std::vector<uint32_t>> strips;
    };

    void collect(const Axis& axis, Band band, bool columns, std::vector<uint32_t>& out) const;

    const RouteStore& store_;
    Axis columns_, rows_;
    std::vector<uint32_t> off_plane_;
};

}  // namespace tovrana
