#pragma once
// The search queue and its fixed pop order (f, g, ix, iy, layer, dir), or under a
// track model (f, -g, ix, iy, layer, dir): among equal f the deeper state first, which
// on the plateaus of equal-cost paths goes straight for the goal instead of widening
// every path at once. Equal keys mean the same state at the same cost, so any correct
// priority queue yields the same pop sequence; no insertion counter takes part.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <vector>

#include "grid/hash_mix.hpp"
#include "grid/panic.hpp"
#include "maze/state.hpp"

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

// The `place` of an in-grid cell with direction 0: (ix, iy, layer, dir) as one
// number that sorts the same way. The search only queues in-grid cells, so
// ((ix * ny + iy) * nz + layer) * kDirs + dir is exact and below kDirs * the cell
// count.
// Coordinates relative to a window's corner (ny its height) sort the window's
// cells the same way, with smaller numbers.
inline uint64_t place_of(int32_t ix, int32_t iy, int32_t layer, int32_t ny, int32_t nz) {
    return ((uint64_t(uint32_t(ix)) * uint32_t(ny) + uint32_t(iy)) * uint32_t(nz) + uint32_t(layer)) * kDirs;
}

// A queued state: g and place order it within its f; the state's cell record
// (`rec`, in the run's table) and direction are carried.
struct HeapItem {
    uint64_t g_key = 0;  // order_key(g)
    uint64_t place = 0;
    uint32_t record = 0;
    uint8_t direction = 0;  // already part of `place`
    static HeapItem make(uint64_t g_key, uint64_t place, uint32_t rec, uint8_t dir) {
        return HeapItem{g_key, place, rec, dir};
    }
    double g() const { return from_order_key(g_key); }
    uint32_t rec() const { return record; }
    uint8_t dir() const { return direction; }
};

// The same in 16 bytes, for places below 2^32: the place sits above the state's
// came-from style link (pack_link), so comparing the low word compares places
// (equal places are the same state, hence the same link).
struct SmallHeapItem {
    uint64_t g_key = 0;
    uint64_t low = 0;  // place << 32 | pack_link(rec, dir)
    static SmallHeapItem make(uint64_t g_key, uint64_t place, uint32_t rec, uint8_t dir) {
        return SmallHeapItem{g_key, place << 32 | pack_link(rec, dir)};
    }
    double g() const { return from_order_key(g_key); }
    uint32_t rec() const { return link_record(static_cast<uint32_t>(low)); }
    uint8_t dir() const { return static_cast<uint8_t>(link_dir(static_cast<uint32_t>(low))); }
};

// True when `a` leaves its f bucket before `b`. Bitwise, not short-circuit: ties
// are common, and branches on them mispredict.
inline bool pops_before(const HeapItem& a, const HeapItem& b) {
    return (a.g_key < b.g_key) | ((a.g_key == b.g_key) & (a.place < b.place));
}
inline bool pops_before(const SmallHeapItem& a, const SmallHeapItem& b) {
    using U = unsigned __int128;
    return (U{a.g_key} << 64 | a.low) < (U{b.g_key} << 64 | b.low);
}

// Min-heap in the order above, four children per node.
template <class Item>
class Heap {
public:
    bool empty() const { return items_.empty(); }
    void clear() { items_.clear(); }
    const Item& top() const { return items_.front(); }
    void push(const Item& item) {
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
    Item pop() {
        const Item top = items_.front();
        const Item last = items_.back();
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
            for (std::size_t c = first + 1; c < end; ++c) {  // a select, not a branch: the outcome is random
                const std::size_t take = -static_cast<std::size_t>(pops_before(items_[c], items_[best]));
                best ^= (best ^ c) & take;
            }
            if (!pops_before(items_[best], last)) break;
            items_[i] = items_[best];
            i = best;
        }
        items_[i] = last;
        return top;
    }

private:
    static constexpr std::size_t kArity = 4;
    std::vector<Item> items_;
};

// The entries of one f. Most entries land in an f above the smallest (a move
// away from the goals, or onto a penalised cell, raises f), so a bucket collects
// its entries unsorted and sorts them once, when its f becomes the smallest;
// entries arriving after that (a move towards the goals keeps f) go to a heap,
// and pop takes the smaller of the two fronts.
template <class Item>
class Bucket {
public:
    bool empty() const { return items_.empty() && late_.empty(); }
    void clear() {
        items_.clear();
        late_.clear();
        sorted_ = false;
    }
    void push(const Item& item) {
        if (sorted_) late_.push(item);
        else items_.push_back(item);
    }
    Item pop() {
        if (!sorted_) {  // next to pop at the back
            std::sort(items_.begin(), items_.end(), [](const Item& a, const Item& b) { return pops_before(b, a); });
            sorted_ = true;
        }
        if (late_.empty() || (!items_.empty() && pops_before(items_.back(), late_.top()))) {
            const Item top = items_.back();
            items_.pop_back();
            return top;
        }
        return late_.pop();
    }

private:
    std::vector<Item> items_;
    bool sorted_ = false;
    Heap<Item> late_;
};

// The queue: one bucket per distinct f. A search has a few dozen distinct f values
// at a time (costs are sums of a handful of weights); the buckets are kept in a
// vector sorted by f, largest first, and searched from the small end, where new
// entries mostly land.
template <class Item>
class Queue {
public:
    bool empty() const { return levels_.empty(); }

    // `deeper`: among entries of one f, the larger g pops first (its key is inverted);
    // the reader takes g back with `g_of`.
    template <bool deeper = false>
    [[gnu::always_inline]] void push(double f, double g, uint64_t place, uint32_t rec, uint8_t dir) {
        if (f != f || g != g) throw Panic("NaN cost in the search queue order");
        const uint64_t f_key = order_key(f);
        Recent& recent = recent_[recent_index(f_key)];
        if (recent.f_key != f_key) [[unlikely]] recent = Recent{f_key, find_or_add(f_key)};
        buckets_[recent.bucket].push(Item::make(deeper ? ~order_key(g) : order_key(g), place, rec, dir));
    }
    template <bool deeper = false>
    static double g_of(const Item& item) {
        return deeper ? from_order_key(~item.g_key) : item.g();
    }
    Item pop() {
        const Level level = levels_.back();
        const Item top = buckets_[level.bucket].pop();
        if (buckets_[level.bucket].empty()) drop_smallest();
        return top;
    }

    // Empties the queue, keeping its storage.
    void clear() {
        while (!levels_.empty()) {
            buckets_[levels_.back().bucket].clear();
            drop_smallest();
        }
    }

private:
    static constexpr std::size_t kScan = 8;
    struct Level {
        uint64_t f_key;
        uint32_t bucket;
    };
    // A small direct-mapped index from f to its bucket, in front of the level
    // search: a search pushes to a handful of f values over and over. An entry is
    // valid while its level exists (f_key 0 is no order_key: it would be a NaN).
    struct Recent {
        uint64_t f_key = 0;
        uint32_t bucket = 0;
    };
    static constexpr int kRecentBits = 6;
    static std::size_t recent_index(uint64_t f_key) {
        return static_cast<std::size_t>((f_key * kGoldenRatio64) >> (64 - kRecentBits));
    }

    // The bucket of f_key's level, created when absent. i = number of levels with
    // an f >= f_key: a short scan from the small end covers the usual case, a
    // binary search the rest.
    [[gnu::noinline]] uint32_t find_or_add(uint64_t f_key) {
        std::size_t i = levels_.size();
        const std::size_t scan_end = i > kScan ? i - kScan : 0;
        while (i > scan_end && levels_[i - 1].f_key < f_key) --i;
        if (i == scan_end && i > 0 && levels_[i - 1].f_key < f_key) {
            i = static_cast<std::size_t>(
                std::partition_point(levels_.begin(), levels_.begin() + static_cast<std::ptrdiff_t>(i),
                                     [f_key](const Level& l) { return l.f_key >= f_key; }) -
                levels_.begin());
        }
        if (i > 0 && levels_[i - 1].f_key == f_key) return levels_[i - 1].bucket;
        const uint32_t b = new_bucket();
        levels_.insert(levels_.begin() + static_cast<std::ptrdiff_t>(i), Level{f_key, b});
        return b;
    }
    // Removes the level of the smallest f, whose bucket is empty.
    void drop_smallest() {
        const Level level = levels_.back();
        Recent& recent = recent_[recent_index(level.f_key)];
        if (recent.f_key == level.f_key) recent = Recent{};
        spare_.push_back(level.bucket);
        levels_.pop_back();
    }
    uint32_t new_bucket() {
        if (spare_.empty()) {
            buckets_.emplace_back();
            return static_cast<uint32_t>(buckets_.size() - 1);
        }
        const uint32_t b = spare_.back();
        spare_.pop_back();
        return b;
    }
    std::vector<Level> levels_;     // by f, largest first
    std::vector<Bucket<Item>> buckets_;   // emptied buckets keep their storage for reuse
    std::vector<uint32_t> spare_;   // indices of empty buckets
    Recent recent_[std::size_t{1} << kRecentBits];
};

}  // namespace tovrana::maze
