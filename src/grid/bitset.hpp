#pragma once
// A fixed-size array of bits: a dense per-cell flag at one bit a cell.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "grid/large_pages.hpp"

namespace tovrana {

class BitSet {
public:
    BitSet() = default;
    explicit BitSet(std::size_t n) : words_((n + 63) / 64, 0) {}

    bool test(std::size_t i) const { return (words_[i >> 6] >> (i & 63)) & 1; }
    void set(std::size_t i, bool value = true) {
        const uint64_t bit = uint64_t{1} << (i & 63);
        if (value) words_[i >> 6] |= bit;
        else words_[i >> 6] &= ~bit;
    }
    std::size_t memory_bytes() const { return words_.capacity() * sizeof(uint64_t); }

private:
    std::vector<uint64_t, LargePageAllocator<uint64_t>> words_;
};

}  // namespace tovrana
