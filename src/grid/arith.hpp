#pragma once
// Integer helpers whose every input is defined behaviour: 64-bit ids wrap, and the
// only division that can fail (by a gcell size) reports it instead of trapping.
#include <cstdint>
#include <limits>

#include "grid/panic.hpp"

namespace tovrana {

// a * b + c on two's-complement 64-bit values, wrapping on overflow.
constexpr int64_t wrap_mul_add(int64_t a, int64_t b, int64_t c) {
    return static_cast<int64_t>(static_cast<uint64_t>(a) * static_cast<uint64_t>(b) +
                                static_cast<uint64_t>(c));
}

// Signed 32-bit division truncating toward zero.
inline int32_t checked_div(int32_t a, int32_t b) {
    if (b == 0) throw Panic("attempt to divide by zero");
    if (b == -1 && a == std::numeric_limits<int32_t>::min())
        throw Panic("attempt to divide with overflow");
    return a / b;
}

// Signed 32-bit arithmetic that wraps instead of overflowing.
constexpr int32_t wrap_add32(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}
constexpr int32_t wrap_mul32(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
}

}  // namespace tovrana
