// Counts per slot with prefix sums, both in O(log slots): a Fenwick tree of
// 32-bit unsigned counts. Arithmetic is modular, so a removal is the
// addition of ~0u and every prefix sum that counts real items is exact.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorlin {

// The bits set in a word, without relying on a population-count instruction
// (the default build targets the baseline of the architecture).
inline std::uint64_t bits_set(std::uint64_t w) {
    w = w - ((w >> 1) & 0x5555555555555555u);
    w = (w & 0x3333333333333333u) + ((w >> 2) & 0x3333333333333333u);
    w = (w + (w >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
    return (w * 0x0101010101010101u) >> 56;
}

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

// Slots taken at most once each, with the number taken below any slot: a bit
// per slot, and a Fenwick tree of the counts per word of 64 slots. Against a
// tree over the slots themselves, an operation climbs six levels fewer and
// the tree is 64 times smaller (its levels stay in the first-level cache);
// the word holding the end of a prefix is counted by its bits.
class TakenSlots {
public:
    // Nothing taken, `slots` slots (the storage is kept).
    void reset(std::size_t slots) {
        // One word more than the slots fill, so that below(slots) reads a
        // word that holds no slot.
        words_.assign(slots / 64 + 1, 0);
        per_word_.reset(words_.size());
    }

    // Requires a slot not taken before.
    void take(std::size_t slot) {
        words_[slot / 64] |= std::uint64_t{1} << (slot % 64);
        per_word_.add(slot / 64, 1);
    }

    // The slots taken among 0 .. end-1 (end <= slots).
    std::uint32_t below(std::size_t end) const {
        const std::uint64_t within = words_[end / 64] & ((std::uint64_t{1} << (end % 64)) - 1);
        return per_word_.below(end / 64) + static_cast<std::uint32_t>(bits_set(within));
    }

private:
    std::vector<std::uint64_t> words_;
    FenwickCounts per_word_;
};

}  // namespace quorlin
