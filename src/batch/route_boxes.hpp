#pragma once
// A batch of boxes: workers on threads, then a merge in box order.
#include <vector>

#include "worker/box_worker.hpp"

namespace tovrana {

// Checks a batch before any work: a negative gcell size, a gcell size of 0, or two
// boxes sharing a gcell are refused (by std::invalid_argument or Panic).
void validate_batch(const std::vector<Box>& boxes, int32_t gc);

// What the merge uses of a box's result, and all the bytes of work_boxes carry: an
// accepted box's routes cut to their in-box cells and the edges with both ends in
// the box, and its non-zero count changes by ascending (cell, net); nothing of a
// box that is not accepted. A worker's result keeps every net's whole route and
// every footprint visit; this is a few percent of it, so a batch holds these only.
struct BoxOutcome {
    bool accepted = false;
    std::vector<NetRoute> routes;
    std::vector<OccChange> changes;
};

BoxOutcome box_outcome(BoxResult result, const Box& box, int32_t gc);

// Runs box_worker on every box with min(max(n_threads, 1), boxes) threads and
// returns the outcomes by box index. Reads the grid only; safe without the
// interpreter lock. A failing worker fails the whole call after every thread ended.
std::vector<BoxOutcome> run_boxes(const Grid& grid, const std::vector<Box>& boxes, const BoxParams& params,
                                  int32_t n_threads);

// Folds accepted outcomes into grid.occ in box order and composes each changed
// net's route, on up to n_threads threads: the fold cell by cell and the
// composition net by net, each in box order, so the result is that of a serial
// merge for any thread count. Nothing is written before everything that can fail
// has been done, so a failing merge leaves occ as it was. (Building the Python
// result comes after it: a MemoryError there finds occ merged.)
std::vector<NetRoute> merge_batch(Grid& grid, const std::vector<Box>& boxes, const std::vector<BoxOutcome>& outcomes,
                                  int32_t gc, int32_t n_threads);

}  // namespace tovrana
