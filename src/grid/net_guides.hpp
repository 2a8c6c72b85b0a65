#pragma once
// Route guides per net: the rectangles, per layer, that global routing gave each net,
// and what a search pays for leaving them. Built and checked once per setter call,
// then immutable: searches on several threads read it without locks.
//
// Flat storage: every net's rectangles in one array, grouped by net, the nets in a
// sorted array beside it. A design of 50,000 nets with 20 rectangles each takes
// 20 MB, and a search finds its net's rectangles by one binary search.
#include <algorithm>
#include <compare>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "grid/geometry.hpp"

namespace tovrana {

// An inclusive rectangle of grid lines on one layer.
struct GuideRect {
    int32_t layer = 0, x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    auto operator<=>(const GuideRect&) const = default;
    bool contains(int32_t x, int32_t y) const { return x0 <= x && x <= x1 && y0 <= y && y <= y1; }
};

// One net's guides as the caller gives them.
struct NetGuideEntry {
    NetId net = 0;
    std::vector<GuideRect> rects;
};

class NetGuides {
public:
    // Checks everything and throws std::invalid_argument, naming the argument, for
    // the first fault: outside_factor below 1 or NaN, outside_via below 0 or NaN, a
    // rectangle on no layer of the grid, with a corner outside it or inverted. A later
    // entry for a net replaces an earlier one; an entry without rectangles leaves the
    // net without guides. Nothing (a null pointer) when no net has guides.
    static std::shared_ptr<const NetGuides> build(const Geometry& g, std::vector<NetGuideEntry> guides,
                                                  double outside_factor, double outside_via);

    // The net's rectangles sorted by layer (then corners, no repeats); empty for a
    // net without guides.
    std::span<const GuideRect> of(NetId net) const;
    double outside_factor() const { return outside_factor_; }
    double outside_via() const { return outside_via_; }

    // Equal for equal guides (whatever the order of entries and rectangles), in
    // every process.
    uint64_t digest() const { return digest_; }

private:
    NetGuides() = default;

    std::vector<NetId> nets_;       // ascending
    std::vector<uint32_t> begin_;   // per net, its first rectangle; one extra at the end
    std::vector<GuideRect> rects_;  // grouped by net in the order of nets_
    double outside_factor_ = 1.0;
    double outside_via_ = 0.0;
    uint64_t digest_ = 0;
};

// Whether one of `rects` (sorted by layer, as NetGuides::of gives them) holds the
// cell on its own layer.
inline bool guides_cover(std::span<const GuideRect> rects, const Cell& c) {
    auto it = std::lower_bound(rects.begin(), rects.end(), c.layer,
                               [](const GuideRect& r, int32_t layer) { return r.layer < layer; });
    for (; it != rects.end() && it->layer == c.layer; ++it)
        if (it->contains(c.ix, c.iy)) return true;
    return false;
}

}  // namespace tovrana
