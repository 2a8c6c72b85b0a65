#include "markers/slot_index.hpp"

#include <algorithm>

namespace tovrana {

SlotIndex::Axis::Axis(int64_t extent, int64_t strip_lines) : extent(std::max<int64_t>(extent, 0)) {
    // At most kMaxStrips strips, however wide the grid.
    strip = std::clamp(strip_lines, int64_t{1}, std::max<int64_t>(this->extent, 1));
    strip = std::max(strip, (this->extent + kMaxStrips - 1) / kMaxStrips);
    strips.resize(static_cast<std::size_t>((this->extent + strip - 1) / strip));
}

void SlotIndex::Axis::add(int64_t lo, int64_t hi, uint32_t slot) {
    for (int64_t s = lo / strip; s <= hi / strip; ++s) strips[static_cast<std::size_t>(s)].push_back(slot);
}

SlotIndex::SlotIndex(const RouteStore& store, const Geometry& g, int64_t strip_lines)
    : store_(store), columns_(g.nx, strip_lines), rows_(g.ny, strip_lines) {
    for (std::size_t s = 0; s < store.slot_count(); ++s) {
        const Bounds& b = store.bounds(s);
        if (b.empty) continue;
        const auto slot = static_cast<uint32_t>(s);
        if (!g.in_plane(b.x0, b.y0) || !g.in_plane(b.x1, b.y1)) {
            off_plane_.push_back(slot);
            continue;
        }
        columns_.add(b.x0, b.x1, slot);
        rows_.add(b.y0, b.y1, slot);
    }
}

void SlotIndex::collect(const Axis& axis, Band band, bool columns, std::vector<uint32_t>& out) const {
    const int64_t lo = std::max<int64_t>(band.lo, 0), hi = std::min<int64_t>(band.hi, axis.extent - 1);
    if (lo > hi) return;
    for (int64_t s = lo / axis.strip; s <= hi / axis.strip; ++s) {
        for (const uint32_t slot : axis.strips[static_cast<std::size_t>(s)]) {
            const Bounds& b = store_.bounds(slot);
            const int64_t from = columns ? b.x0 : b.y0, to = columns ? b.x1 : b.y1;
            if (from <= band.hi && to >= band.lo) out.push_back(slot);
        }
    }
}

std::vector<uint32_t> SlotIndex::crossing(Band columns, Band rows) const {
    std::vector<uint32_t> out(off_plane_);
    collect(columns_, columns, true, out);
    collect(rows_, rows, false, out);
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

}  // namespace tovrana
