// Vectors whose resize leaves the new elements unwritten.
//
// Large buffers that are filled in full right after they are sized (the rows
// of an embedding, the nodes and order of a k-d tree) would otherwise be
// zeroed first: a pass over the whole buffer, page faults included, on one
// thread, before the workers that fill it start. Only for element types
// without invariants (numbers, plain structs of numbers), and only where
// every element is written before it is read.
//
// Buffers of several megabytes are asked of the system in huge pages where
// it offers them on request (Linux's transparent huge pages in "madvise"
// mode): the kernels read and write such buffers in scattered order (the
// sorting passes, the group orders of sample entropy), and with small pages
// nearly every access past the first few megabytes misses the address
// translation caches, and every 4 KiB of the buffer costs a page fault when
// first written. A huge page covers 2 MiB with one translation and one
// fault. Only the time taken changes: the contents are the same.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace quorlin {

namespace detail {

#if defined(__linux__) && defined(MADV_HUGEPAGE)
// From this size on a buffer is mapped on its own, on a huge-page boundary,
// and marked for huge pages: at least two of them, so that rounding up to
// whole ones adds at most half of the buffer's memory. Mapped apart from the
// allocator's heap, it goes back to the system whole when freed: huge pages
// inside the heap would keep 2 MiB resident for every small block still in
// use nearby, and a process that calls again and again would grow.
inline constexpr bool kHugePages = true;
inline constexpr std::size_t kHugePage = std::size_t{1} << 21;
inline constexpr std::size_t kHugeBuffer = 2 * kHugePage;

inline std::size_t huge_mapping(std::size_t bytes) {
    return (bytes + kHugePage - 1) / kHugePage * kHugePage;
}

inline void* map_huge(std::size_t bytes) {
    const std::size_t size = huge_mapping(bytes);
    if (size < bytes || size + kHugePage < size) throw std::bad_alloc();
    // One huge page more than needed, then the ends cut off so that what
    // remains starts on a boundary.
    void* const raw = mmap(nullptr, size + kHugePage, PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    const auto address = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = (address + kHugePage - 1) / kHugePage * kHugePage;
    const std::size_t head = aligned - address;
    if (head != 0) munmap(raw, head);
    if (head != kHugePage) munmap(reinterpret_cast<void*>(aligned + size), kHugePage - head);
    // Advice only: where the system refuses, the buffer keeps small pages.
    (void)madvise(reinterpret_cast<void*>(aligned), size, MADV_HUGEPAGE);
    return reinterpret_cast<void*>(aligned);
}

inline void unmap_huge(void* p, std::size_t bytes) noexcept { munmap(p, huge_mapping(bytes)); }
#else
inline constexpr bool kHugePages = false;
inline constexpr std::size_t kHugeBuffer = 0;
inline void* map_huge(std::size_t) { throw std::bad_alloc(); }
inline void unmap_huge(void*, std::size_t) noexcept {}
#endif

}  // namespace detail

template <class T>
struct UninitializedAllocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = UninitializedAllocator<U>;
    };
    UninitializedAllocator() = default;
    template <class U>
    UninitializedAllocator(const UninitializedAllocator<U>&) noexcept {}
    // Default construction is default initialisation: nothing for numbers.
    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }

    T* allocate(std::size_t n) {
        if (huge(n)) {
            if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
            return static_cast<T*>(detail::map_huge(n * sizeof(T)));
        }
        return std::allocator<T>::allocate(n);
    }

    void deallocate(T* p, std::size_t n) noexcept {
        if (huge(n)) {
            detail::unmap_huge(p, n * sizeof(T));
            return;
        }
        std::allocator<T>::deallocate(p, n);
    }

private:
    // The container passes deallocate the count it allocated, so the two
    // always agree on which way a buffer came.
    static constexpr bool huge(std::size_t n) {
        return detail::kHugePages && n >= detail::kHugeBuffer / sizeof(T);
    }
};

template <class T>
using Uninitialized = std::vector<T, UninitializedAllocator<T>>;

}  // namespace quorlin
