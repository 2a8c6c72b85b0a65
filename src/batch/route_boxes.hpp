#pragma once
// A batch of boxes: workers on threads, then a serial merge in box order.
#include <vector>

#include "worker/box_worker.hpp"

namespace tovrana {

// Checks a batch before any work: a negative gcell size, a gcell size of 0, or two
// boxes sharing a gcell are refused (by std::invalid_argument or Panic).
void validate_batch(const std::vector<Box>& boxes, int32_t gc);

// Runs box_worker on every box with min(max(n_threads, 1), boxes) threads and
// returns the results by box index. Reads the grid only; safe without the
// interpreter lock. A failing worker fails the whole call after every thread ended.
std::vector<BoxResult> run_boxes(const Grid& grid, const std::vector<Box>& boxes, const BoxParams& params,
                                 int32_t n_threads);

// Folds accepted results into grid.occ in box order and composes each changed
// net's route. Nothing is written before everything that can fail has been
// done, so a failing merge leaves occ as it was. (Building the Python result
// comes after it: a MemoryError there finds occ merged.)
std::vector<NetRoute> merge_batch(Grid& grid, const std::vector<Box>& boxes, std::vector<BoxResult> results,
                                  int32_t gc);

}  // namespace tovrana
