#include "batch/route_boxes.hpp"

#include <algorithm>
#include <iterator>
#include <string>

#include "grid/parallel.hpp"
#include "worker/box_geometry.hpp"

namespace tovrana {

void validate_batch(const std::vector<Box>& boxes, int32_t gc) {
    if (boxes.empty()) return;
    if (gc == 0) throw Panic("attempt to divide by zero");
    if (gc < 0) throw std::invalid_argument("gc must be positive, got " + std::to_string(gc));
    // Two boxes sharing a gcell would rip up the same cells and merge twice.
    for (std::size_t i = 0; i < boxes.size(); ++i) {
        const Box& a = boxes[i];
        if (a.gx0 > a.gx1 || a.gy0 > a.gy1) continue;
        for (std::size_t j = i + 1; j < boxes.size(); ++j) {
            const Box& b = boxes[j];
            if (b.gx0 > b.gx1 || b.gy0 > b.gy1) continue;
            if (a.gx0 <= b.gx1 && b.gx0 <= a.gx1 && a.gy0 <= b.gy1 && b.gy0 <= a.gy1)
                throw std::invalid_argument("boxes " + std::to_string(i) + " and " + std::to_string(j) +
                                            " share a gcell");
        }
    }
}

BoxOutcome box_outcome(BoxResult result, const Box& box, int32_t gc) {
    BoxOutcome out;
    if (!result.accepted) return out;
    out.accepted = true;
    auto inside = [&](const Cell& c) { return BoxGeometry::contains(box, gc, c); };
    out.routes.reserve(result.routes.size());
    for (const NetRoute& r : result.routes) {
        NetRoute& cut = out.routes.emplace_back(NetRoute{r.net, {}, {}});
        std::copy_if(r.cells.begin(), r.cells.end(), std::back_inserter(cut.cells), inside);
        std::copy_if(r.edges.begin(), r.edges.end(), std::back_inserter(cut.edges),
                     [&](const Edge& e) { return inside(e.a) && inside(e.b); });
    }
    out.changes = occ_changes(result.delta);
    return out;
}

std::vector<BoxOutcome> run_boxes(const Grid& grid, const std::vector<Box>& boxes, const BoxParams& params,
                                  int32_t n_threads) {
    std::vector<BoxOutcome> outcomes(boxes.size());
    if (boxes.empty()) return outcomes;
    const SlotIndex slots(grid.routes, grid.geo());
    // Each task writes only its own box's slot; a result is cut down as soon as it
    // is made.
    run_tasks(
        boxes.size(), n_threads,
        [&](std::size_t i) {
            outcomes[i] = box_outcome(box_worker(grid, boxes[i], params, slots), boxes[i], params.gc);
        },
        AfterSpawnFailure::kFail, SingleThread::kSpawn);
    return outcomes;
}

}  // namespace tovrana
