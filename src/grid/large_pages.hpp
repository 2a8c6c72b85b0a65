#pragma once
// An allocator for the large per-grid tables that the searches read at random
// (occupancy, per-cell flags). On a grid of a hundred million cells these tables
// reach hundreds of MB, and with 4 KiB pages nearly every look-up also misses the
// address translation caches. Blocks of at least kLargePage bytes are therefore
// mapped aligned to 2 MiB and marked for transparent huge pages; the kernel may
// still decline, which changes speed only. Smaller blocks come from operator new.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <new>

namespace tovrana {

inline constexpr std::size_t kLargePage = std::size_t{2} << 20;

// What a block of `bytes` maps: whole pages of the system's size. Its last, partial
// large page stays in small pages, so a table a little over a large page does not
// hold two.
inline std::size_t mapped_length(std::size_t bytes) {
    static const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return (bytes + page - 1) / page * page;
}

// A block of `bytes` (>= kLargePage) aligned to kLargePage; throws std::bad_alloc.
inline void* map_large_block(std::size_t bytes) {
    if (bytes > SIZE_MAX - 2 * kLargePage) throw std::bad_alloc();
    const std::size_t length = mapped_length(bytes);
    // Map a large page more than needed and cut the ends off, leaving an aligned block.
    void* raw = ::mmap(nullptr, length + kLargePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = (start + kLargePage - 1) / kLargePage * kLargePage;
    if (aligned > start) ::munmap(raw, aligned - start);
    const std::uintptr_t tail = aligned + length, end = start + length + kLargePage;
    if (end > tail) ::munmap(reinterpret_cast<void*>(tail), end - tail);
#ifdef MADV_HUGEPAGE
    ::madvise(reinterpret_cast<void*>(aligned), length, MADV_HUGEPAGE);  // advice only: failure is harmless
#endif
    return reinterpret_cast<void*>(aligned);
}

inline void unmap_large_block(void* p, std::size_t bytes) noexcept { ::munmap(p, mapped_length(bytes)); }

template <class T>
struct LargePageAllocator {
    using value_type = T;

    LargePageAllocator() noexcept = default;
    template <class U>
    LargePageAllocator(const LargePageAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
        const std::size_t bytes = n * sizeof(T);
        if (bytes < kLargePage) return static_cast<T*>(::operator new(bytes, std::align_val_t{alignof(T)}));
        return static_cast<T*>(map_large_block(bytes));
    }
    void deallocate(T* p, std::size_t n) noexcept {
        const std::size_t bytes = n * sizeof(T);
        if (bytes < kLargePage) ::operator delete(p, std::align_val_t{alignof(T)});
        else unmap_large_block(p, bytes);
    }

    template <class U>
    bool operator==(const LargePageAllocator<U>&) const noexcept { return true; }
};

}  // namespace tovrana
