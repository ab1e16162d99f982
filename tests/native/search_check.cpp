// Test driver (never shipped): compares the tree searches of NeighborSearch
// and the tiled divergence sums with the exhaustive scans they replace, on
// generated cases, to the last bit.
//
//     search_check SEED CASES
//
// prints one line per disagreement (and a summary) and exits with status 1
// if there was any. The cases are built to stress exactly what the fast
// paths must get right: equal distances and equal square roots of different
// squared distances (lattices, and wide lattices where rounding merges
// sums), distances at the radius or at the floor, underflowing and
// overflowing squares, repeated rows, temporal windows, candidate ranges,
// hints, strided layouts, and pair lists with NaN, infinite and coinciding
// points followed in one or many passes.
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "common/execution.hpp"
#include "dynamics/divergence.hpp"
#include "numerics/neighbors.hpp"
#include "numerics/points.hpp"

using namespace quorlin;

namespace {

using Rng = std::mt19937_64;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::size_t failures = 0;
std::size_t checks = 0;

// The driver runs every computation to completion: its context never stops.
const ExecutionContext kUninterrupted;
Pacer pacer(kUninterrupted);

void fail(const std::string& what) {
    if (++failures <= 20) std::printf("MISMATCH %s\n", what.c_str());
}

std::size_t below(Rng& rng, std::size_t n) { return n == 0 ? 0 : rng() % n; }
double uniform(Rng& rng) { return std::uniform_real_distribution<double>(0.0, 1.0)(rng); }
bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// ---------------------------------------------------------------------------
// Point sets.

enum class Shape {
    uniform, normal, lattice, wide_lattice, annulus, duplicates, tiny, huge, logistic, henon,
    count
};

const char* name_of(Shape shape) {
    static const char* names[] = {"uniform", "normal",     "lattice", "wide_lattice",
                                  "annulus", "duplicates", "tiny",    "huge",
                                  "logistic", "henon"};
    return names[static_cast<int>(shape)];
}

// A scalar series of the given shape (used by the embedded point sets).
std::vector<double> series(Shape shape, std::size_t n, Rng& rng) {
    std::vector<double> x(n);
    std::normal_distribution<double> normal;
    double a = 0.1 + 0.8 * uniform(rng), b = 0.1 * uniform(rng);
    for (std::size_t t = 0; t < n; ++t) {
        switch (shape) {
            case Shape::uniform: x[t] = uniform(rng); break;
            case Shape::normal: x[t] = normal(rng); break;
            case Shape::lattice: x[t] = static_cast<double>(below(rng, 5)); break;
            case Shape::wide_lattice:
                x[t] = static_cast<double>((std::int64_t{1} << 27) + below(rng, 1u << 27));
                break;
            case Shape::duplicates: x[t] = t > 8 && below(rng, 2) ? x[t - 1 - below(rng, 8)] : normal(rng); break;
            case Shape::tiny: x[t] = 1e-160 * normal(rng); break;
            case Shape::huge: x[t] = 1e154 * normal(rng); break;
            case Shape::logistic:
                a = 4.0 * a * (1.0 - a);
                x[t] = a;
                break;
            case Shape::henon: {
                const double next = 1.0 - 1.4 * a * a + b;
                b = 0.3 * a;
                a = next;
                x[t] = a;
                break;
            }
            default: x[t] = normal(rng);
        }
    }
    return x;
}

// n rows of m coordinates, row-major.
std::vector<double> cloud(Shape shape, std::size_t n, std::size_t m, Rng& rng) {
    std::vector<double> coords(n * m);
    if (shape == Shape::annulus) {
        // Rows on a thin ring of integer points around a centre that is a row
        // too: radii squared within a few units of 2^55, where rounding makes
        // different sums equal, and equal square roots of different sums.
        const double centre = static_cast<double>(std::int64_t{1} << 40);
        const double r2 = std::ldexp(1.0, 55);
        for (std::size_t i = 0; i < n; ++i) {
            double* row = coords.data() + i * m;
            for (std::size_t c = 0; c < m; ++c) row[c] = centre;
            if (i % 7 == 0 || m < 2) continue;
            const double a = std::floor(uniform(rng) * std::sqrt(r2));
            const double b = std::floor(std::sqrt(r2 - a * a)) + static_cast<double>(below(rng, 3)) - 1.0;
            row[0] = centre + (below(rng, 2) ? a : -a);
            row[1] = centre + (below(rng, 2) ? b : -b);
        }
        return coords;
    }
    const std::vector<double> x = series(shape, n * m, rng);
    std::copy(x.begin(), x.end(), coords.begin());
    return coords;
}

EmbeddedPoints embedded(const std::vector<double>& coords, std::size_t n, std::size_t m) {
    EmbeddedPoints points;
    points.coords.assign(coords.begin(), coords.end());
    points.n_points = n;
    points.dimension = m;
    return points;
}

// ---------------------------------------------------------------------------
// The three searches.

template <class Points>
std::vector<double> sample_distances(const Points& points, Rng& rng) {
    std::vector<double> out;
    for (int t = 0; t < 6; ++t) {
        const std::size_t a = below(rng, points.size()), b = below(rng, points.size());
        out.push_back(std::sqrt(squared_distance(points, a, b)));
    }
    return out;
}

template <class Points>
CandidateRule random_rule(const Points& points, const std::vector<double>& distances, Rng& rng) {
    const std::size_t n = points.size();
    CandidateRule rule{n, 1, -kInf};
    switch (below(rng, 3)) {
        case 0: rule.candidates_end = n; break;
        case 1: rule.candidates_end = below(rng, n + 1); break;
        default: rule.candidates_end = n - std::min<std::size_t>(n, below(rng, 12));
    }
    switch (below(rng, 4)) {
        case 0: rule.exclusion = 0; break;
        case 1: rule.exclusion = 1; break;
        case 2: rule.exclusion = below(rng, 12); break;
        default: rule.exclusion = below(rng, n + 2);
    }
    switch (below(rng, 5)) {
        case 0: rule.floor = -kInf; break;
        case 1: rule.floor = 0.0; break;
        case 2: rule.floor = 1e-15; break;
        default: rule.floor = distances[below(rng, distances.size())];  // a floor some rows sit on
    }
    return rule;
}

template <class Points>
void compare_searches(const Points& points, const NeighborSearch<Points>& tree,
                      const std::string& label, Rng& rng) {
    const NeighborSearch<Points> direct(points, pacer, false);
    const std::size_t n = points.size();
    const std::vector<double> distances = sample_distances(points, rng);
    for (int r = 0; r < 3; ++r) {
        const CandidateRule rule = random_rule(points, distances, rng);
        double radius;
        switch (below(rng, 6)) {
            case 0: radius = 0.0; break;
            case 1: radius = kInf; break;
            case 2: radius = std::nextafter(distances[below(rng, distances.size())], kInf); break;
            case 3: radius = -1.0; break;
            default: radius = distances[below(rng, distances.size())];  // rows sit on it
        }
        const std::size_t k = below(rng, 4) == 0 ? below(rng, n + 3) : below(rng, n / 4 + 1);
        const std::string context = label + " end=" + std::to_string(rule.candidates_end) +
                                    " excl=" + std::to_string(rule.exclusion) +
                                    " floor=" + std::to_string(rule.floor);
        Nearest previous;
        for (std::size_t i = 0; i < n; ++i) {
            ++checks;
            const Nearest expected = direct.nearest(i, rule);
            std::size_t hint = kNoHint;
            switch (below(rng, 3)) {
                case 0: hint = previous.index + 1; break;
                case 1: hint = below(rng, n + 3); break;
                default: break;
            }
            const Nearest got = tree.nearest(i, rule, hint);
            previous = got;
            if (got.index != expected.index || !same_bits(got.distance, expected.distance)) {
                fail(context + " nearest i=" + std::to_string(i) + " tree " +
                     std::to_string(got.index) + " scan " + std::to_string(expected.index));
            }

            std::vector<std::size_t> within_expected, within_got;
            direct.for_each_within(i, rule, radius, [&](std::size_t j) { within_expected.push_back(j); });
            tree.for_each_within(i, rule, radius, [&](std::size_t j) { within_got.push_back(j); });
            if (within_got != within_expected) {
                fail(context + " within i=" + std::to_string(i) + " radius=" + std::to_string(radius) +
                     " sizes " + std::to_string(within_got.size()) + " vs " +
                     std::to_string(within_expected.size()));
            }

            const auto ranked_expected = direct.k_nearest(i, rule, k);
            const auto ranked_got = tree.k_nearest(i, rule, k);
            bool same = ranked_got.size() == ranked_expected.size();
            for (std::size_t p = 0; same && p < ranked_got.size(); ++p) {
                same = ranked_got[p].index == ranked_expected[p].index &&
                       same_bits(ranked_got[p].distance, ranked_expected[p].distance);
            }
            if (!same) fail(context + " k_nearest i=" + std::to_string(i) + " k=" + std::to_string(k));
        }
    }
}

template <class Points>
void check_searches(const Points& points, const std::string& label, Rng& rng) {
    const NeighborSearch<Points> tree(points, pacer, true);
    if (!tree.indexed()) return;  // the case is one for the scans alone
    compare_searches(points, tree, label, rng);
}

// Delay vectors of any length searched through one tree over their two
// leading coordinates (x[j], x[j + tau]), which holds more rows than they.
void check_leading(Shape shape, const std::string& label, Rng& rng) {
    const std::size_t tau = below(rng, 4);
    const std::size_t n_series = 12 + below(rng, 200);
    const std::vector<double> x = series(shape, n_series, rng);
    const EmbeddedPoints leading = embed_points(x, 2, tau, n_series - tau, pacer);
    if (!KdTree<EmbeddedPoints>::suitable(leading, pacer)) return;
    const KdTree<EmbeddedPoints> tree(leading, pacer);
    const std::size_t q = 1 + below(rng, 6);
    // As many rows as step q + 1 of the dimension search has, at least 2.
    const std::size_t span = (q - 1) * tau;
    const std::size_t n = n_series - std::min(n_series - 2, span + tau + below(rng, 3));
    if (n + span > n_series || n > leading.size()) return;
    const EmbeddedPoints rows = embed_points(x, q, tau, n, pacer);
    const NeighborSearch<EmbeddedPoints> search(rows, pacer, tree);
    compare_searches(rows, search, label + " leading q=" + std::to_string(q), rng);
}

// The same rows read in place through strides: row-major with padding,
// column-major (a transposed array), rows reversed (negative stride), and
// misaligned by one byte.
void check_strided(const std::vector<double>& coords, std::size_t n, std::size_t m,
                   const std::string& label, Rng& rng) {
    const std::size_t layout = below(rng, 4);
    const std::size_t pad = 1 + below(rng, 3);
    std::vector<unsigned char> storage((n * (m + pad) + 2) * sizeof(double) + 1);
    unsigned char* origin = storage.data() + (layout == 3 ? 1 : 0);
    StridedPoints points;
    points.n_rows = n;
    points.n_cols = m;
    const auto d = static_cast<std::ptrdiff_t>(sizeof(double));
    switch (layout) {
        case 0:
            points.base = origin;
            points.row_stride = static_cast<std::ptrdiff_t>(m + pad) * d;
            points.col_stride = d;
            break;
        case 1:
            points.base = origin;
            points.row_stride = d;
            points.col_stride = static_cast<std::ptrdiff_t>(n) * d;
            break;
        case 2:
            points.base = origin + (n - 1) * m * sizeof(double);
            points.row_stride = -static_cast<std::ptrdiff_t>(m) * d;
            points.col_stride = d;
            break;
        default:
            points.base = origin;
            points.row_stride = static_cast<std::ptrdiff_t>(m) * d;
            points.col_stride = d;
    }
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t c = 0; c < m; ++c) {
            unsigned char* at = const_cast<unsigned char*>(points.base) +
                                static_cast<std::ptrdiff_t>(i) * points.row_stride +
                                static_cast<std::ptrdiff_t>(c) * points.col_stride;
            std::memcpy(at, &coords[i * m + c], sizeof(double));
        }
    }
    check_searches(points, label + " strided" + std::to_string(layout), rng);
}

// ---------------------------------------------------------------------------
// Divergence sums.

void check_divergence(Rng& rng, const std::string& label, Shape shape) {
    const std::size_t n = 2 + below(rng, 300);
    const std::size_t m = 1 + below(rng, 3);
    std::vector<double> coords = cloud(shape, n, m, rng);
    // Odd samples: NaN and infinite coordinates give NaN or infinite cells,
    // which the sums must take exactly as the direct path does.
    if (below(rng, 4) == 0) {
        for (int t = 0; t < 3; ++t) coords[below(rng, coords.size())] = below(rng, 2) ? kNaN : kInf;
    }
    const EmbeddedPoints points = embedded(coords, n, m);
    const std::size_t steps = 1 + below(rng, n);
    const std::size_t references = below(rng, n + 1);
    // Fixed lists, in any order, repeats and j = i included: the sums must
    // follow them exactly as listed, in every pass.
    std::vector<std::vector<std::size_t>> lists(references);
    const std::size_t density = 1 + below(rng, 20);
    for (std::size_t i = 0; i < references; ++i) {
        const std::size_t count = below(rng, density + 1);
        for (std::size_t p = 0; p < count; ++p) {
            lists[i].push_back(below(rng, 3) == 0 ? (i + below(rng, 5)) % n : below(rng, n));
        }
    }
    const dynamics::PartnerLists partners = [&](std::size_t i, std::vector<std::size_t>& out,
                                                Pacer&) {
        out.insert(out.end(), lists[i].begin(), lists[i].end());
    };
    const auto expected = dynamics::follow_pairs(points, steps, references, partners, false, pacer);
    const std::size_t budgets[] = {0, 1 + below(rng, 8), 1 + below(rng, 200)};
    // Three workers under the fast policy: bands shared from 64 pairs in
    // flight, ranges of steps passed at once below that, and either way the
    // passes the budget asks for.
    static const std::atomic<bool> never{false};
    const ExecutionContext threaded =
        ExecutionContext::watching(never, 3).with_search(kAlwaysFast);
    Pacer threaded_pacer(threaded);
    for (const std::size_t budget : budgets) {
        ++checks;
        Pacer& on = below(rng, 4) != 0 ? pacer : threaded_pacer;
        const auto got =
            dynamics::follow_pairs(points, steps, references, partners, true, on, budget);
        bool same = got.sum.size() == expected.sum.size() && got.count == expected.count;
        for (std::size_t k = 0; same && k < got.sum.size(); ++k) same = same_bits(got.sum[k], expected.sum[k]);
        if (!same) {
            fail(label + " divergence n=" + std::to_string(n) + " steps=" + std::to_string(steps) +
                 " references=" + std::to_string(references) + " budget=" + std::to_string(budget) +
                 (&on == &threaded_pacer ? " threaded" : ""));
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: search_check SEED CASES\n");
        return 2;
    }
    const auto seed = std::strtoull(argv[1], nullptr, 10);
    const auto cases = std::strtoull(argv[2], nullptr, 10);
    Rng rng(seed);
    for (std::uint64_t c = 0; c < cases; ++c) {
        const auto shape = static_cast<Shape>(below(rng, static_cast<std::size_t>(Shape::count)));
        const std::string label = std::string("case ") + std::to_string(c) + " " + name_of(shape);
        switch (below(rng, 5)) {
            case 4:
                check_leading(shape, label, rng);
                break;
            case 0: {  // a delay embedding of a series
                const std::size_t m = 1 + below(rng, 4);
                const std::size_t tau = below(rng, 4);
                const std::size_t n = 2 + below(rng, 150);
                const std::vector<double> x = series(shape, n + (m - 1) * tau, rng);
                check_searches(embed_points(x, m, tau, n, pacer), label + " embedded", rng);
                break;
            }
            case 1: {  // free rows, flat
                const std::size_t m = 1 + below(rng, 5);
                const std::size_t n = 2 + below(rng, 150);
                check_searches(embedded(cloud(shape, n, m, rng), n, m), label + " rows", rng);
                break;
            }
            case 2: {  // free rows, strided
                const std::size_t m = 1 + below(rng, 4);
                const std::size_t n = 2 + below(rng, 120);
                check_strided(cloud(shape, n, m, rng), n, m, label, rng);
                break;
            }
            default:
                check_divergence(rng, label, shape);
        }
    }
    std::printf("%zu checks, %zu mismatches\n", checks, failures);
    return failures == 0 ? 0 : 1;
}
