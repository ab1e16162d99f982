// What the module takes from the C and C++ runtime libraries, kept to symbol
// versions that glibc 2.28 and the C++ library of GCC 8 already have (the
// manylinux_2_28 baseline), so that a module built on a newer system still
// loads on RHEL 8, Debian 10 or Ubuntu 20.04. The build enables this where
// it applies (QUORLIN_PORTABLE_SYMBOLS, and QUORLIN_LIBM_VERSION on glibc);
// elsewhere the file is empty.

#include <cmath>
#include <new>

#if defined(QUORLIN_PORTABLE_SYMBOLS) && defined(QUORLIN_LIBM_VERSION)

// glibc 2.29 gave log, log2 and pow new symbol versions, which set errno
// themselves instead of going through the old SVID error wrappers. The old
// versions remain, and are the only ones older glibc has. The link rewrites
// every call of log, log2 and pow in the module into a call of the __wrap_
// functions below (ld --wrap), which call the old versions.
//
// On a glibc that has both, the old versions run the same implementation
// as the new ones and give the same bits for every argument but one class:
// for the logarithm of a number below zero their wrapper returns a NaN with
// the sign bit clear, where the implementation returns the processor's
// default NaN (0/0, sign bit set on x86-64). That case is answered here with
// the same 0/0, so that every argument, NaN payloads and signs included,
// gives the bits of the current symbols (and on older glibc the logarithm of
// a negative number is the same NaN as on newer).
extern "C" {
double quorlin_libm_log(double) noexcept;
double quorlin_libm_log2(double) noexcept;
double quorlin_libm_pow(double, double) noexcept;
}
__asm__(".symver quorlin_libm_log, log@" QUORLIN_LIBM_VERSION);
__asm__(".symver quorlin_libm_log2, log2@" QUORLIN_LIBM_VERSION);
__asm__(".symver quorlin_libm_pow, pow@" QUORLIN_LIBM_VERSION);

namespace {

// The result of the current symbols for a negative argument, -inf included:
// for finite x, x - x is 0 and 0/0 the default NaN; for -inf, x - x is
// already the default NaN. Either way the invalid flag is raised.
double invalid_logarithm(double x) noexcept { return (x - x) / (x - x); }

}  // namespace

extern "C" {
[[gnu::visibility("hidden")]] double __wrap_log(double x) noexcept {
    return x < 0.0 ? invalid_logarithm(x) : quorlin_libm_log(x);
}
[[gnu::visibility("hidden")]] double __wrap_log2(double x) noexcept {
    return x < 0.0 ? invalid_logarithm(x) : quorlin_libm_log2(x);
}
[[gnu::visibility("hidden")]] double __wrap_pow(double x, double y) noexcept {
    return quorlin_libm_pow(x, y);
}
}

#endif

#if defined(QUORLIN_PORTABLE_SYMBOLS) && defined(_GLIBCXX_RELEASE) && _GLIBCXX_RELEASE >= 11
// The allocators of libstdc++ 11 and later report an impossible array size
// through this function, which the shared library has only from GCC 11 on
// (GLIBCXX_3.4.29). The module carries its own copy, with the library's
// behaviour. It is weak, so that where the toolchain links a static part of
// the C++ library that defines it too (as the manylinux compilers do), that
// definition is taken without a clash; the export map keeps it private.
namespace std {
[[gnu::weak]] void __throw_bad_array_new_length() { throw bad_array_new_length(); }
}  // namespace std
#endif
