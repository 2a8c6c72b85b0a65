#include "worker/worker_queue.hpp"

#include <algorithm>

namespace tovrana {

bool WorkerQueue::net_in_box(NetId net, const LocalRoutes& local) const {
    const CellList* cells = nullptr;
    if (const LocalRoute* r = local.find(net)) cells = &r->cells;
    else if (const auto slot = grid_.routes.slot_of(net)) cells = &grid_.routes.cells(*slot);
    if (!cells) return false;
    return std::any_of(cells->begin(), cells->end(), [&](const Cell& c) { return box_.contains(c); });
}

bool WorkerQueue::admissible(NetId net, const LocalRoutes& local) const {
    if (queued_.contains(net) || grid_.consts.is_supply(net)) return false;
    const auto it = rips_.find(net);
    const int32_t rips = it == rips_.end() ? 0 : it->second;
    return rips < limit_ && net_in_box(net, local);
}

void WorkerQueue::offer(std::vector<NetId> batch, const LocalRoutes& local) {
    const WorkerConsts& consts = grid_.consts;
    std::stable_sort(batch.begin(), batch.end(),
                     [&](NetId a, NetId b) { return consts.rank_of(a) < consts.rank_of(b); });
    for (const NetId net : batch) {
        if (!admissible(net, local)) continue;
        queued_.insert(net);
        queue_.push_back(net);
    }
}

std::optional<NetId> WorkerQueue::pop() {
    if (queue_.empty()) return std::nullopt;
    const NetId net = queue_.front();
    queue_.pop_front();
    queued_.erase(net);
    return net;
}

bool WorkerQueue::attempt(NetId net) {
    if (grid_.consts.is_supply(net)) return false;
    int32_t& count = rips_[net];
    if (count >= limit_) return false;
    ++count;
    return true;
}

}  // namespace tovrana
