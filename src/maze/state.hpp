#pragma once
// A search state is a cell record and the direction of the move that reached it.
// Its direction code and its packed form, the came-from link.
#include <cstddef>
#include <cstdint>

namespace tovrana::maze {

// Direction of the move that produced a state. The numeric values are part of the
// search's fixed pop order: states of one cell with equal f and g leave the queue
// in ascending direction code (it is the last key of the order, see
// search_queue.hpp), so renumbering them changes which of two equal-cost paths is
// found.
enum Dir : uint8_t {
    kViaDown = 0,
    kPlusX = 1,
    kPlusY = 2,
    kMinusY = 3,  // also any other same-layer displacement (an equal-layer via rule)
    kViaUp = 4,
    kMinusX = 5,
    kStart = 6,
};

inline constexpr int kDirs = 7;          // direction codes 0..6, 6 = start
inline constexpr int kMoveDirs = 6;      // directions a move can arrive in (not start)
inline constexpr uint32_t kNoPred = ~uint32_t{0};

// A came-from link names a state, (record, direction), in 32 bits: the record index
// above kDirBits bits of direction code, enough for the kDirs codes.
inline constexpr int kDirBits = 3;
inline constexpr uint32_t kDirMask = (uint32_t{1} << kDirBits) - 1;
static_assert(kDirs <= (1 << kDirBits));
inline constexpr uint32_t pack_link(uint32_t record, uint32_t dir) { return record << kDirBits | dir; }
inline constexpr uint32_t link_record(uint32_t link) { return link >> kDirBits; }
inline constexpr uint32_t link_dir(uint32_t link) { return link & kDirMask; }
// Records stay below this count so that every link, and kNoPred, is distinct.
inline constexpr std::size_t kMaxRecords = (std::size_t{1} << (32 - kDirBits)) - 1;

}  // namespace tovrana::maze
