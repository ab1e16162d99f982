// Stable sorts by small integer keys: one counting pass, and the radix sort
// made of such passes. Both only permute items, so whichever way a caller
// sorts, equal keys keep their order and the result is the one stable order.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/execution.hpp"
#include "common/parallel.hpp"
#include "common/uninitialized.hpp"

namespace quorlin {

// Places the items 0 .. count-1 in ascending order of their keys, stably:
// key_of(e) is item e's key, below `keys`, and place(e, slot) puts item e at
// `slot`. Afterwards offsets[k] is the end of key k's slots (the number of
// items with key <= k), which callers use as bucket bounds. Counts up to
// 2^32 - 1 items.
template <class KeyOf, class Place>
void counting_sort(std::size_t count, std::size_t keys, std::vector<std::uint32_t>& offsets,
                   KeyOf key_of, Place place) {
    offsets.assign(keys, 0);
    for (std::size_t e = 0; e < count; ++e) ++offsets[key_of(e)];
    std::uint32_t sum = 0;
    for (std::uint32_t& offset : offsets) {
        const std::uint32_t here = offset;
        offset = sum;
        sum += here;
    }
    for (std::size_t e = 0; e < count; ++e) place(e, offsets[key_of(e)]++);
}

// The same stable order, sorted by the context's workers: the items are cut
// into blocks of `block` items, the tasks. Each block counts its keys; the
// slots are then laid out in (key, block) order, so that a block's items of
// key k come after every item of a smaller key and after the items of key k
// in earlier blocks; each block then places its own items in its own slots.
// Those are exactly the slots of one stable pass over all items, whichever
// thread places which block, and one block is that pass.
//
// key_of(e) returns item e's key, below `keys`, or `keys` itself for an item
// to leave out: it takes no slot, and place is not called for it. Every
// block keeps a count per key
// (`slots` holds them, resized here) and their running sum is taken on one
// thread, so callers choose blocks of at least as many items as there are
// keys: the counts then take no more room or time than the items do
// (SearchPolicy::sort_block). place(e, slot) is called from the thread that
// counted e. Both are copied into every task: callers pass lambdas that
// capture what they read by value. Counts up to 2^32 - 1 items.
template <class KeyOf, class Place>
void blocked_counting_sort(const ExecutionContext& context, std::size_t count, std::size_t keys,
                           std::size_t block, std::vector<std::uint32_t>& slots, KeyOf key_of,
                           Place place) {
    if (count == 0) return;
    const std::size_t blocks = (count + block - 1) / block;
    // One column more, for the items left out.
    const std::size_t columns = keys + 1;
    slots.resize(blocks * columns);
    for_each_block(context, count, block,
                   [&](std::size_t b, std::size_t begin, std::size_t end, Pacer& pacer) {
        // A copy of its own, which the compiler keeps in registers: the
        // loops below are bound by scattered reads, and loads that can be
        // left out leave room for more of those in flight.
        const KeyOf key = key_of;
        std::uint32_t* const tally = slots.data() + b * columns;
        std::fill(tally, tally + columns, 0);
        for (std::size_t e = begin; e < end; ++e) ++tally[key(e)];
        pacer.advance(end - begin);
    });
    std::uint32_t sum = 0;
    for (std::size_t key = 0; key < keys; ++key) {
        for (std::size_t b = 0; b < blocks; ++b) {
            std::uint32_t& slot = slots[b * columns + key];
            const std::uint32_t here = slot;
            slot = sum;
            sum += here;
        }
    }
    for_each_block(context, count, block,
                   [&](std::size_t b, std::size_t begin, std::size_t end, Pacer& pacer) {
        const KeyOf key = key_of;
        const Place put = place;
        std::uint32_t* const next = slots.data() + b * columns;
        for (std::size_t e = begin; e < end; ++e) {
            const std::size_t k = key(e);
            if (k != keys) put(e, next[k]++);
        }
        pacer.advance(2 * (end - begin));
    });
}

// Where the runs of a sorted order begin, found by the context's workers in
// blocks of `block` items: the items e of 0 .. count-1 (ascending) for
// which starts_run(e) holds, e = 0 always among them, then `count`. Each
// block marks and counts its starts, and writes them from where the blocks
// before it leave off.
template <class StartsRun>
std::vector<std::uint32_t> run_starts(const ExecutionContext& context, std::size_t count,
                                      std::size_t block, StartsRun starts_run) {
    std::vector<std::uint32_t> begins;
    if (count == 0) {
        begins.push_back(0);
        return begins;
    }
    const std::size_t blocks = (count + block - 1) / block;
    std::vector<std::uint32_t> before(blocks + 1, 0);
    Uninitialized<std::uint8_t> marks(count);
    for_each_block(context, count, block,
                   [&](std::size_t b, std::size_t begin, std::size_t end, Pacer& pacer) {
        std::uint32_t here = 0;
        for (std::size_t e = begin; e < end; ++e) {
            const bool starts = e == 0 || starts_run(e);
            marks[e] = starts ? 1 : 0;
            here += starts ? 1 : 0;
        }
        before[b + 1] = here;
        pacer.advance(2 * (end - begin));
    });
    for (std::size_t b = 0; b < blocks; ++b) before[b + 1] += before[b];
    begins.resize(before[blocks] + std::size_t{1});
    for_each_block(context, count, block,
                   [&](std::size_t b, std::size_t begin, std::size_t end, Pacer& pacer) {
        std::uint32_t* out = begins.data() + before[b];
        for (std::size_t e = begin; e < end; ++e) {
            if (marks[e] != 0) *out++ = static_cast<std::uint32_t>(e);
        }
        pacer.advance(end - begin);
    });
    begins.back() = static_cast<std::uint32_t>(count);
    return begins;
}

// Visits every slot p of 0 .. count-1 with the run that holds it, visit(p,
// run), on the context's workers in blocks of `block` slots. `begins` are the
// runs' starts, non-negative integers as run_starts gives them: ascending, 0
// first and `count` last, no run empty. Each block finds its first run by a
// binary search and then steps through the starts it passes.
template <class Start, class Visit>
void for_each_in_runs(const ExecutionContext& context, std::size_t count, std::size_t block,
                      const std::vector<Start>& begins, const Visit& visit) {
    for_each_block(context, count, block,
                   [&](std::size_t, std::size_t first, std::size_t end, Pacer& pacer) {
        // The run holding slot `first`: the last that starts at or before it.
        std::size_t run = static_cast<std::size_t>(
            std::upper_bound(begins.begin(), begins.end() - 1, static_cast<Start>(first)) -
            begins.begin() - 1);
        for (std::size_t p = first; p < end; ++p) {
            // At most one run starts at each slot, runs being never empty.
            if (p == static_cast<std::size_t>(begins[run + 1])) ++run;
            visit(p, run);
        }
        pacer.advance(2 * (end - first));
    });
}

// Sorts `keys` ascending, stably, and carries `order` along, by
// least-significant-digit passes of kDigitBits bits. `varying` has the bits
// in which some key differs from another (the OR of key ^ keys[0], which
// callers form as they fill the keys): digits without such a bit are the
// same in every key and skipped. `spare_keys` and `spare_order` are scratch
// (resized here). after_pass() is called after each pass (to count the
// work).
template <unsigned kDigitBits, class Key, class AfterPass>
void radix_sort(std::vector<Key>& keys, std::vector<std::uint32_t>& order, Key varying,
                std::vector<Key>& spare_keys, std::vector<std::uint32_t>& spare_order,
                std::vector<std::uint32_t>& offsets, AfterPass after_pass) {
    constexpr Key kDigitMask = (Key{1} << kDigitBits) - 1;
    const std::size_t n = keys.size();
    spare_keys.resize(n);
    spare_order.resize(n);
    for (unsigned shift = 0; shift < 8 * sizeof(Key); shift += kDigitBits) {
        if (((varying >> shift) & kDigitMask) == 0) continue;
        counting_sort(
            n, std::size_t{1} << kDigitBits, offsets,
            [&](std::size_t e) {
                return static_cast<std::size_t>((keys[e] >> shift) & kDigitMask);
            },
            [&](std::size_t e, std::uint32_t to) {
                spare_keys[to] = keys[e];
                spare_order[to] = order[e];
            });
        keys.swap(spare_keys);
        order.swap(spare_order);
        after_pass();
    }
}

}  // namespace quorlin
