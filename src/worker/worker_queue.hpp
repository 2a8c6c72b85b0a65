#pragma once
// The FIFO of nets a box worker will rip up, with its admission rule and the
// per-net attempt counts that bound the worker's loop.
#include <deque>
#include <optional>

#include "markers/worker_markers.hpp"
#include "state/grid.hpp"
#include "worker/box_geometry.hpp"

namespace tovrana {

class WorkerQueue {
public:
    WorkerQueue(const Grid& grid, const BoxGeometry& box, int32_t limit) : grid_(grid), box_(box), limit_(limit) {}

    // Sorts the batch by name rank (stable) and offers each net in that order.
    void offer(std::vector<NetId> batch, const LocalRoutes& local);

    // The front net, taken out of the queue.
    std::optional<NetId> pop();
    // Counts an attempt for a popped net; false (and nothing counted) for a supply
    // net or one already at the limit.
    bool attempt(NetId net);

    // True when one of the net's current cells lies in the box.
    bool net_in_box(NetId net, const LocalRoutes& local) const;

private:
    bool admissible(NetId net, const LocalRoutes& local) const;

    const Grid& grid_;
    const BoxGeometry& box_;
    int32_t limit_;
    std::deque<NetId> queue_;
    HashSet<NetId> queued_;
    HashMap<NetId, int32_t> rips_;
};

}  // namespace tovrana
