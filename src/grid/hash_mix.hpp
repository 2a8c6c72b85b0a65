#pragma once
// The one multiplier every hash and checksum of the router mixes with.
#include <cstdint>

namespace tovrana {

// 2^64 divided by the golden ratio, rounded to odd (11400714819323198485). Odd, so
// multiplying by it is a bijection on 64-bit words, and its bits are spread so
// evenly that the high bits of a product depend on every bit of the key
// (multiplicative "Fibonacci" hashing).
inline constexpr uint64_t kGoldenRatio64 = 0x9E3779B97F4A7C15ull;

// Folds one more 32-bit field into a running hash.
constexpr uint64_t hash_mix(uint64_t h, uint32_t field) { return h * kGoldenRatio64 ^ field; }
// The same for a 64-bit field, low half first.
constexpr uint64_t hash_mix64(uint64_t h, uint64_t field) {
    return hash_mix(hash_mix(h, static_cast<uint32_t>(field)), static_cast<uint32_t>(field >> 32));
}

}  // namespace tovrana
