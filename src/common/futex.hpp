// Sleeping on a 32-bit word until another thread changes it and wakes the
// sleepers: Linux's futex, called directly.
//
// The standard library's condition variables would do, but the wheels
// target an old C and C++ runtime: libstdc++ 12 moved
// std::condition_variable::wait to a new symbol version (GLIBCXX_3.4.30), and
// its timed waits on the steady clock need pthread_cond_clockwait (glibc
// 2.30). A futex needs neither, and a wait that first compares the word with
// the value its caller last saw cannot miss a wake-up that follows a change.
#pragma once

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdint>

namespace quorlin {

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t),
              "the kernel reads the word of an atomic as a plain 32-bit integer");

// Sleeps unless `word` no longer holds `seen`, until woken, until
// `relative` has passed (if given), on a signal or spuriously: callers look
// at the word again and decide.
inline void futex_wait(const std::atomic<std::uint32_t>& word, std::uint32_t seen,
                       const timespec* relative = nullptr) noexcept {
    syscall(SYS_futex, &word, FUTEX_WAIT_PRIVATE, seen, relative, nullptr, 0);
}

// Wakes every thread sleeping on `word`; call it after changing the word.
inline void futex_wake_all(const std::atomic<std::uint32_t>& word) noexcept {
    syscall(SYS_futex, &word, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

}  // namespace quorlin
