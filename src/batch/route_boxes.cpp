#include "batch/route_boxes.hpp"

#include <atomic>
#include <exception>
#include <string>
#include <system_error>
#include <thread>

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

std::vector<BoxResult> run_boxes(const Grid& grid, const std::vector<Box>& boxes, const BoxParams& params,
                                 int32_t n_threads) {
    const std::size_t n_boxes = boxes.size();
    const std::size_t n_workers = std::min<std::size_t>(static_cast<std::size_t>(std::max(n_threads, 1)), n_boxes);
    std::vector<BoxResult> results(n_boxes);
    std::vector<std::exception_ptr> failures(n_boxes);
    std::atomic<std::size_t> next{0};

    // Each worker writes only the slots of the boxes it claimed.
    auto work = [&] {
        for (std::size_t i = next.fetch_add(1); i < n_boxes; i = next.fetch_add(1)) {
            try {
                results[i] = box_worker(grid, boxes[i], params);
            } catch (...) {
                failures[i] = std::current_exception();
            }
        }
    };

    std::vector<std::thread> threads;
    threads.reserve(n_workers);
    std::string spawn_error;
    for (std::size_t t = 0; t < n_workers; ++t) {
        try {
            threads.emplace_back(work);
        } catch (const std::system_error& e) {
            spawn_error = e.what();
            next.store(n_boxes);  // nobody claims further boxes
            break;
        }
    }
    for (std::thread& t : threads) t.join();
    if (!spawn_error.empty()) throw Panic("failed to spawn thread: " + spawn_error);
    // The failure of the first failing box, whatever the thread timing.
    for (const std::exception_ptr& f : failures)
        if (f) std::rethrow_exception(f);
    return results;
}

}  // namespace tovrana
