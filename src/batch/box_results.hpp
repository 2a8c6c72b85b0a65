#pragma once
// The box results of a batch, or of part of one, as bytes: what one process works
// and another merges. Little-endian, versioned, ending in a CRC-32 of all before it:
//
//   "TVBR", version (varint), state digest (u64), params digest (u64), gc (zigzag),
//   box count, then per box: its four corners (zigzag), accepted (one byte 0 or 1),
//   and for an accepted box its routes (net, cells, edges) and its delta (cells by
//   ascending id, each with its nets by ascending id and their count changes).
//
// Integers are LEB128 varints, signed ones zigzag-coded; cells are written as the
// difference from the cell before, edges as their first cell relative to the
// edge before and their second relative to their first, so that runs of
// neighbouring cells cost a few bytes each. An accepted box keeps only what the
// merge uses: its routes' in-box cells and the edges with both ends in the box,
// and its non-zero changes; a box that is not accepted keeps nothing.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "batch/route_boxes.hpp"

namespace tovrana {

inline constexpr uint32_t kBoxResultsVersion = 1;

struct BatchHeader {
    uint64_t state = 0;   // state_digest of the grid the boxes were worked on
    uint64_t params = 0;  // params_digest of the batch
    int32_t gc = 0;
};

struct WorkedBox {
    Box box;
    BoxOutcome result;
};

// `results[i]` belongs to `boxes[i]`.
std::vector<uint8_t> encode_box_results(const BatchHeader& header, const std::vector<Box>& boxes,
                                        const std::vector<BoxOutcome>& results);

struct DecodedResults {
    BatchHeader header;
    std::vector<WorkedBox> boxes;
};

// Refuses, by std::invalid_argument with a message that begins with `label`, any
// bytes that encode_box_results did not write: wrong magic or version, a checksum
// that does not match, a count larger than the bytes left, a value out of range,
// cells or nets of a delta out of order, trailing bytes. Never reads past the end,
// and allocates only for items whose smallest encoding fits in the bytes left.
DecodedResults decode_box_results(std::span<const uint8_t> bytes, const std::string& label);

// The results in the order of `batch`, each found by its box's corners; every box
// of the batch must have exactly one (boxes with equal corners, which only empty
// boxes can have, take results with those corners in any order: they are equal).
// Throws std::invalid_argument naming the first box without a result or with two,
// or a result for a box the batch does not hold.
std::vector<BoxOutcome> match_to_batch(const std::vector<Box>& batch, std::vector<WorkedBox> worked);

}  // namespace tovrana
