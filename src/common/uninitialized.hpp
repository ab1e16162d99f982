// Vectors whose resize leaves the new elements unwritten.
//
// Large buffers that are filled in full right after they are sized (the rows
// of an embedding, the nodes and order of a k-d tree) would otherwise be
// zeroed first: a pass over the whole buffer, page faults included, on one
// thread, before the workers that fill it start. Only for element types
// without invariants (numbers, plain structs of numbers), and only where
// every element is written before it is read.
#pragma once

#include <memory>
#include <utility>
#include <vector>

namespace quorlin {

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
};

template <class T>
using Uninitialized = std::vector<T, UninitializedAllocator<T>>;

}  // namespace quorlin
