#pragma once
// Tasks 0 .. n-1 on up to `threads` threads that claim them one at a time. A result
// never depends on which thread ran a task: callers write each task's output to its
// own place.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "grid/panic.hpp"

namespace tovrana {

// What a thread that cannot be started means: the call fails (once every started
// thread ended, with Panic("failed to spawn thread: ...")), or the calling thread
// finishes the work with the threads that did start.
enum class AfterSpawnFailure { kFail, kFinish };

// Where a single thread's work runs: on the calling thread, or on a thread of its
// own as with several (the box workers: their large short-lived allocations then
// come from that thread's allocator arena and go with it, instead of being mapped
// and unmapped again and again in the main one).
enum class SingleThread { kCaller, kSpawn };

// Runs task(i) for every i < n on min(max(threads, 1), n) started threads, which
// claim the tasks one at a time while the calling thread waits. Every started
// thread is joined before it returns or throws. The failure of the lowest failing
// task is rethrown, whatever the timing.
template <class Task>
void run_tasks(std::size_t n, int32_t threads, Task&& task, AfterSpawnFailure on_spawn = AfterSpawnFailure::kFail,
               SingleThread single = SingleThread::kCaller) {
    const std::size_t n_threads = std::min<std::size_t>(static_cast<std::size_t>(std::max(threads, 1)), n);
    if (n_threads == 0) return;
    if (n_threads == 1 && single == SingleThread::kCaller) {
        for (std::size_t i = 0; i < n; ++i) task(i);
        return;
    }
    std::vector<std::exception_ptr> failures(n);
    std::atomic<std::size_t> next{0};
    auto work = [&] {
        for (std::size_t i = next.fetch_add(1); i < n; i = next.fetch_add(1)) {
            try {
                task(i);
            } catch (...) {
                failures[i] = std::current_exception();
            }
        }
    };
    std::vector<std::thread> started;
    started.reserve(n_threads);
    std::string spawn_error;
    for (std::size_t t = 0; t < n_threads; ++t) {
        try {
            started.emplace_back(work);
        } catch (const std::system_error& e) {
            spawn_error = e.what();
            if (on_spawn == AfterSpawnFailure::kFail) next.store(n);  // nobody claims further tasks
            break;
        }
    }
    if (!spawn_error.empty() && on_spawn == AfterSpawnFailure::kFinish) work();
    for (std::thread& t : started) t.join();
    if (!spawn_error.empty() && on_spawn == AfterSpawnFailure::kFail) throw Panic("failed to spawn thread: " + spawn_error);
    for (const std::exception_ptr& f : failures)
        if (f) std::rethrow_exception(f);
}

}  // namespace tovrana
