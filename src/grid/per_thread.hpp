#pragma once
// One object per thread, made on the thread's first use and destroyed when the thread
// ends, like a thread_local. Kept in a pthread key rather than in thread_local storage:
// in a module the interpreter loads, thread_locals live in dynamic TLS blocks that
// glibc allocates and frees where the thread sanitizer cannot order them.
#include <pthread.h>

#include <cstring>
#include <memory>
#include <string>

#include "grid/panic.hpp"

namespace tovrana {

template <class T>
class PerThread {
public:
    PerThread() {
        if (const int err = pthread_key_create(&key_, [](void* p) { delete static_cast<T*>(p); }); err != 0)
            throw Panic(std::string("pthread_key_create: ") + std::strerror(err));
    }
    // The key lives as long as the process: threads may still end after static
    // destruction began.
    ~PerThread() = default;
    PerThread(const PerThread&) = delete;
    PerThread& operator=(const PerThread&) = delete;

    // The calling thread's object.
    T& get() {
        if (void* p = pthread_getspecific(key_)) return *static_cast<T*>(p);
        auto made = std::make_unique<T>();
        if (const int err = pthread_setspecific(key_, made.get()); err != 0)
            throw Panic(std::string("pthread_setspecific: ") + std::strerror(err));
        return *made.release();
    }

private:
    pthread_key_t key_{};
};

}  // namespace tovrana
