// Counts per slot with prefix sums, both in O(log slots): a Fenwick tree of
// 32-bit unsigned counts. Arithmetic is modular, so a removal is the
// addition of ~0u and every prefix sum that counts real items is exact.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorlin {

class FenwickCounts {
public:
    // Empties the tree and gives it `slots` slots (the storage is kept).
    void reset(std::size_t slots) {
        slots_ = slots;
        tree_.assign(slots + 1, 0);
    }

    void add(std::size_t slot, std::uint32_t delta) {
        for (std::size_t q = slot + 1; q <= slots_; q += q & (~q + 1)) tree_[q] += delta;
    }

    // The counts of slots 0 .. end-1 (end <= slots).
    std::uint32_t below(std::size_t end) const {
        std::uint32_t sum = 0;
        for (std::size_t q = end; q > 0; q -= q & (~q + 1)) sum += tree_[q];
        return sum;
    }

private:
    std::size_t slots_ = 0;
    std::vector<std::uint32_t> tree_;
};

}  // namespace quorlin
