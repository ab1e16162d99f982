// Up-front refusal of working sets that cannot fit in memory.
//
// Sizes that grow with a caller's parameters (an embedding of dimension 10^6,
// say) are checked here before anything is allocated. A request larger than
// the machine's physical memory, or (for requests of 64 MiB and more) larger
// than the memory the system and the process's control group can still give,
// fails at once with std::bad_alloc, which the boundary raises as
// MemoryError, instead of being granted by an overcommitting kernel and
// ending in the out-of-memory killer while the buffer is filled.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorlin {

// Total physical memory of the machine in bytes (cached after the first call).
std::uint64_t physical_memory_bytes();

// The memory the machine, the system and the process's control group can
// all still give now, in bytes (read afresh on every call).
std::uint64_t available_memory_bytes();

// The address space this process may still map under its limit
// (RLIMIT_AS, `ulimit -v`), in bytes; unlimited when no limit is set.
// Memory sized from what is free must stay under this too: a process
// limited to a few GiB on a large machine would otherwise be offered a share
// of memory it can never map.
std::uint64_t address_space_headroom_bytes();

// Asks the kernel to back the whole pages of [data, data + bytes) with huge
// pages (transparent huge pages in "madvise" mode). A hint for large tables
// read at scattered places, where misses of the address translation cache
// would otherwise cost as much as the reads: it changes no value, may be
// ignored, and does nothing where the system has no such advice.
void prefer_huge_pages(void* data, std::size_t bytes);

// Throws std::bad_alloc unless `count` elements of `element_size` bytes, with
// `copies` such buffers alive at once, fit in size_t, in physical memory and
// in the memory available now.
void require_memory(std::uint64_t count, std::size_t element_size, std::uint64_t copies = 1);

}  // namespace quorlin
