#pragma once
// The value types every subsystem shares: cells, edges and the hash containers.
#include <compare>
#include <functional>
#include <cstdint>
#include <utility>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>
#include <boost/unordered/unordered_flat_set.hpp>

#include "grid/hash_mix.hpp"
#include "grid/large_pages.hpp"

namespace tovrana {

// A grid cell. Ordering is lexicographic by (ix, iy, layer), the order every
// sorted cell list of the router uses.
struct Cell {
    int32_t ix = 0;
    int32_t iy = 0;
    int32_t layer = 0;
    auto operator<=>(const Cell&) const = default;
    friend std::size_t hash_value(const Cell& c) {
        const uint64_t h = hash_mix(static_cast<uint32_t>(c.ix), static_cast<uint32_t>(c.iy));
        return static_cast<std::size_t>(hash_mix(h, static_cast<uint32_t>(c.layer)));
    }
};

struct Edge {
    Cell a;
    Cell b;
    bool operator==(const Edge&) const = default;
};

using CellList = std::vector<Cell>;
using EdgeList = std::vector<Edge>;
using NetId = int32_t;

// Hash containers are indexes only: no result ever depends on their iteration order.
template <class K, class Hash = boost::hash<K>>
using HashSet = boost::unordered_flat_set<K, Hash>;
template <class K, class V, class Hash = boost::hash<K>>
using HashMap = boost::unordered_flat_map<K, V, Hash>;
// The same for the maps that grow with the grid and are read at random.
template <class K, class V, class Hash = boost::hash<K>>
using LargeHashMap = boost::unordered_flat_map<K, V, Hash, std::equal_to<K>, LargePageAllocator<std::pair<const K, V>>>;

// The planar bounding rectangle of a cell list (empty for no cells).
struct Bounds {
    int32_t x0 = 0, y0 = 0, x1 = -1, y1 = -1;
    bool empty = true;

    static Bounds of(const std::vector<Cell>& cells);
};

inline Bounds Bounds::of(const std::vector<Cell>& cells) {
    Bounds b;
    for (const Cell& c : cells) {
        if (b.empty) {
            b = Bounds{c.ix, c.iy, c.ix, c.iy, false};
            continue;
        }
        if (c.ix < b.x0) b.x0 = c.ix;
        if (c.ix > b.x1) b.x1 = c.ix;
        if (c.iy < b.y0) b.y0 = c.iy;
        if (c.iy > b.y1) b.y1 = c.iy;
    }
    return b;
}

// Inclusive rectangle of grid coordinates, on every layer.
struct Region {
    int32_t x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    bool contains(int32_t x, int32_t y) const { return x0 <= x && x <= x1 && y0 <= y && y <= y1; }
};

}  // namespace tovrana
