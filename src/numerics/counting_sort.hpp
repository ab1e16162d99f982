// Stable sorts by small integer keys: one counting pass, and the radix sort
// made of such passes. Both only permute items, so whichever way a caller
// sorts, equal keys keep their order and the result is the one stable order.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

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
