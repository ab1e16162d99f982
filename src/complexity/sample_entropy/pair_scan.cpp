// The diagonal pair scan: the reference count of template pairs, in
// O(N^2) time and no memory beyond the caller's series.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

#include "common/parallel.hpp"
#include "complexity/sample_entropy/template_matches.hpp"
#include "numerics/lanes.hpp"

namespace quorlin::complexity {
namespace {

// Pairs of templates are counted along the diagonals of the pair matrix.
// For a lag d = j - i, the coordinate comparison of samples t and t + d is
// shared by every template pair on that diagonal that covers t, so each
// comparison is made once: with keep(t) = !(|x[t] - x[t + d]| > r) and
// run(t) the number of consecutive kept cells ending at t, the pair starting
// at t - m + 1 matches at length m exactly when run(t) >= m, and the pair
// starting at t - m matches at length m + 1 exactly when run(t) >= m + 1.
// Both template ranges (j <= N - m - 1 for length m, j <= N - m - 2 for
// length m + 1) come to the same cell range t + d <= N - 2. (With m = 0 the
// empty short templates reach j = N - 1, beyond the cells, and B is formed in
// closed form instead.) Counts are exact integers, so the order of the scan
// does not matter.
struct DiagonalScan {
    const double* x;
    std::size_t last;  // N - 2: the largest t + d of any cell
    std::uint64_t m;
    double r;

    // Cells t = begin .. last - d of one diagonal, continuing from `run`.
    void scan(std::size_t d, std::size_t begin, std::uint64_t run,
              TemplateMatches& counts) const {
        for (std::size_t t = begin; t + d <= last; ++t) {
            run = std::fabs(x[t] - x[t + d]) > r ? 0 : run + 1;
            counts.b += run >= m;
            counts.a += run > m;
        }
    }

    // Four diagonals d .. d + 3 side by side (requires d + 3 <= last), over
    // the cells t in [begin, end) that all four have (end <= last - d - 2),
    // in two registers, continuing from the run lengths in `runs`, which are
    // left as they are after the last cell.
    void scan4(std::size_t d, std::size_t begin, std::size_t end, double (&runs)[4],
               TemplateMatches& counts) const {
        const Lanes2 magnitude = {0x7fffffffffffffffLL, 0x7fffffffffffffffLL};
        const Doubles2 tolerance = {r, r};
        const Doubles2 one = {1.0, 1.0};
        const Doubles2 short_length = {static_cast<double>(m), static_cast<double>(m)};
        const Doubles2 long_length = short_length + one;
        Doubles2 run_lo = {runs[0], runs[1]};
        Doubles2 run_hi = {runs[2], runs[3]};
        Lanes2 b_lo = {0, 0}, b_hi = {0, 0}, a_lo = {0, 0}, a_hi = {0, 0};
        for (std::size_t t = begin; t < end; ++t) {
            const Doubles2 here = {x[t], x[t]};
            const Doubles2 diff_lo = here - load2(x + t + d);
            const Doubles2 diff_hi = here - load2(x + t + d + 2);
            // Lanes of all ones where |diff| > r; a NaN never compares so.
            const Lanes2 fail_lo = (Doubles2)((Lanes2)diff_lo & magnitude) > tolerance;
            const Lanes2 fail_hi = (Doubles2)((Lanes2)diff_hi & magnitude) > tolerance;
            // Run lengths are small integers held exactly as doubles, which
            // keeps every comparison within the baseline instruction set.
            run_lo = (Doubles2)((Lanes2)(run_lo + one) & ~fail_lo);
            run_hi = (Doubles2)((Lanes2)(run_hi + one) & ~fail_hi);
            b_lo -= run_lo >= short_length;
            b_hi -= run_hi >= short_length;
            a_lo -= run_lo >= long_length;
            a_hi -= run_hi >= long_length;
        }
        counts.b += static_cast<std::uint64_t>(b_lo[0] + b_lo[1] + b_hi[0] + b_hi[1]);
        counts.a += static_cast<std::uint64_t>(a_lo[0] + a_lo[1] + a_hi[0] + a_hi[1]);
        runs[0] = run_lo[0];
        runs[1] = run_lo[1];
        runs[2] = run_hi[0];
        runs[3] = run_hi[1];
    }
};

// Cells of the four diagonals taken side by side between counts of the work
// (the runs carry over, so the cut changes nothing).
constexpr std::size_t kScanChunk = std::size_t{1} << 16;

}  // namespace

TemplateMatches count_template_matches(std::span<const double> x, std::uint64_t m, double r,
                                       Pacer& pacer) {
    // N >= m + 2, so N - 2 and every index below are valid.
    const std::size_t n = x.size();
    const DiagonalScan scan{x.data(), n - 2, m, r};
    // Diagonals in fixed blocks, each a task of its own whose counts are
    // added afterwards (integers: in any order). A block is a multiple of
    // four, so that its diagonals go side by side as a single pass would take
    // them.
    constexpr std::size_t kDiagonalBlock = 64;
    const std::size_t blocks = (scan.last + kDiagonalBlock - 1) / kDiagonalBlock;
    std::vector<TemplateMatches> partial(blocks);
    for_each_task(pacer.context(), blocks, [&](std::size_t block, Pacer& task_pacer) {
        TemplateMatches& counts = partial[block];
        const std::size_t block_end = std::min(scan.last, (block + 1) * kDiagonalBlock);
        std::size_t d = 1 + block * kDiagonalBlock;
        for (; d + 3 <= block_end; d += 4) {
            // The cells all four diagonals have, then each one's last few.
            const std::size_t common_end = scan.last - (d + 3) + 1;
            double runs[4] = {0.0, 0.0, 0.0, 0.0};
            for (std::size_t t = 0; t < common_end; t += kScanChunk) {
                const std::size_t end = std::min(common_end, t + kScanChunk);
                scan.scan4(d, t, end, runs, counts);
                task_pacer.advance(4 * (end - t));
            }
            for (std::size_t lane = 0; lane < 3; ++lane) {
                scan.scan(d + lane, common_end, static_cast<std::uint64_t>(runs[lane]), counts);
            }
        }
        for (; d <= block_end; ++d) {
            scan.scan(d, 0, 0, counts);
            task_pacer.advance(scan.last - d + 1);
        }
    });
    TemplateMatches counts;
    for (const TemplateMatches& part : partial) {
        counts.a += part.a;
        counts.b += part.b;
    }
    if (m == 0) {
        // Empty templates always match, and the template range then reaches
        // j = N - 1, beyond the cells: every pair counts.
        counts.b = unordered_pairs(n);
    }
    return counts;
}

}  // namespace quorlin::complexity
