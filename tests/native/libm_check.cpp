// Test driver (never shipped): the module calls log, log2 and pow through
// the old glibc symbol versions (src/common/portable_runtime.cpp); this
// program is linked the same way and compares those calls with the versions
// of glibc 2.29 and later, found at run time with dlvsym, to the last bit:
// special values, NaN payloads of both signs, subnormals, and random bit
// patterns.
//
//     libm_check SEED COUNT
//
// prints each disagreement and a summary, and exits with status 1 if there
// was any, or 3 if this glibc is older than 2.29 (then the old versions are
// the only ones, and there is nothing to compare).
#include <dlfcn.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace {

std::uint64_t bits(double x) {
    std::uint64_t u;
    std::memcpy(&u, &x, sizeof u);
    return u;
}

double from_bits(std::uint64_t u) {
    double x;
    std::memcpy(&x, &u, sizeof x);
    return x;
}

// Opaque to the optimiser, so that every call reaches the linked symbol
// instead of being folded at compile time.
volatile double sink;
double opaque(double x) {
    sink = x;
    return sink;
}

std::size_t failures = 0;

void compare(const char* name, double got, double want, double x, double y) {
    if (bits(got) == bits(want)) return;
    if (++failures <= 20) {
        std::printf("%s(%a, %a): linked %016llx, current %016llx\n", name, x, y,
                    static_cast<unsigned long long>(bits(got)),
                    static_cast<unsigned long long>(bits(want)));
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: libm_check SEED COUNT\n");
        return 2;
    }
    std::mt19937_64 rng(std::strtoull(argv[1], nullptr, 10));
    const long count = std::atol(argv[2]);
    void* libm = dlopen("libm.so.6", RTLD_NOW);
    if (libm == nullptr) {
        std::printf("libm.so.6 not found\n");
        return 1;
    }
    using Unary = double (*)(double);
    using Binary = double (*)(double, double);
    const auto current_log = reinterpret_cast<Unary>(dlvsym(libm, "log", "GLIBC_2.29"));
    const auto current_log2 = reinterpret_cast<Unary>(dlvsym(libm, "log2", "GLIBC_2.29"));
    const auto current_pow = reinterpret_cast<Binary>(dlvsym(libm, "pow", "GLIBC_2.29"));
    if (!current_log || !current_log2 || !current_pow) {
        std::printf("no GLIBC_2.29 versions of log, log2 and pow in this glibc\n");
        return 3;
    }

    constexpr double kInf = std::numeric_limits<double>::infinity();
    std::vector<double> values = {
        0.0, -0.0, 1.0, -1.0, 2.0, 0.5, 10.0, 3.0, -2.5, kInf, -kInf,
        std::numeric_limits<double>::denorm_min(), -std::numeric_limits<double>::denorm_min(),
        std::numeric_limits<double>::min(), std::numeric_limits<double>::max(),
        -std::numeric_limits<double>::max(), 1.0000000000000002, 0.9999999999999999};
    for (const std::uint64_t nan : {0x7ff8000000000000ULL, 0xfff8000000000000ULL,
                                    0x7ff8000000001234ULL, 0xfff8000000001234ULL,
                                    0x7ff0000000000001ULL, 0xfff0000000000001ULL}) {
        values.push_back(from_bits(nan));
    }
    for (const double x : values) {
        compare("log", std::log(opaque(x)), current_log(x), x, 0.0);
        compare("log2", std::log2(opaque(x)), current_log2(x), x, 0.0);
        for (const double y : values) compare("pow", std::pow(opaque(x), y), current_pow(x, y), x, y);
    }
    // Random bit patterns of every sign and exponent, and the positive
    // ranges the kernels use most: counts, ratios near one, powers of ten.
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (long i = 0; i < count; ++i) {
        const double x = from_bits(rng());
        const double y = i % 2 == 0 ? from_bits(rng()) : static_cast<double>(rng() % 64) - 32.0;
        const double near_one = 1.0 + (unit(rng) - 0.5) * 1e-3;
        const double count_value = static_cast<double>(i + 1);
        for (const double v : {x, near_one, count_value}) {
            compare("log", std::log(opaque(v)), current_log(v), v, 0.0);
            compare("log2", std::log2(opaque(v)), current_log2(v), v, 0.0);
        }
        compare("pow", std::pow(opaque(x), y), current_pow(x, y), x, y);
        const double exponent = unit(rng) * 3.0;
        compare("pow", std::pow(10.0, opaque(exponent)), current_pow(10.0, exponent), 10.0, exponent);
    }
    std::printf("%zu disagreements\n", failures);
    return failures == 0 ? 0 : 1;
}
