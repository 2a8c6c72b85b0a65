#pragma once
// Working storage that one call after another reuses, one piece per call under way.
// A pool instead of thread-locals: the box workers' threads live for one batch, so
// thread-local storage would be allocated afresh every batch; and a module the
// interpreter loads keeps thread-locals in dynamic TLS blocks, which glibc allocates
// and frees at thread start and exit where the thread sanitizer cannot order them.
#include <exception>
#include <memory>
#include <mutex>
#include <vector>

namespace tovrana {

template <class T>
class ScratchPool {
public:
    // One piece, handed back to the pool when the lease ends.
    class Lease {
    public:
        Lease(ScratchPool& pool, std::unique_ptr<T> item) : pool_(pool), item_(std::move(item)) {}
        ~Lease() { pool_.give_back(std::move(item_)); }
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        T& operator*() const { return *item_; }

    private:
        ScratchPool& pool_;
        std::unique_ptr<T> item_;
    };

    Lease take() {
        std::unique_ptr<T> item;
        {
            const std::lock_guard lock(mutex_);
            if (!free_.empty()) {
                item = std::move(free_.back());
                free_.pop_back();
            }
        }
        return Lease(*this, item ? std::move(item) : std::make_unique<T>());
    }

private:
    void give_back(std::unique_ptr<T> item) noexcept {
        try {
            const std::lock_guard lock(mutex_);
            free_.push_back(std::move(item));
        } catch (const std::exception&) {
            // no room to keep it: it is freed, and the next call makes another
        }
    }

    std::mutex mutex_;
    std::vector<std::unique_ptr<T>> free_;
};

}  // namespace tovrana
