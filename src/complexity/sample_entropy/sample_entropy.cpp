// Sample entropy: which way its pair counts take, and the entropy from them.
#include <cmath>
#include <limits>
#include <optional>

#include "common/ieee.hpp"
#include "common/path_probe.hpp"
#include "complexity/entropy.hpp"
#include "complexity/sample_entropy/holes.hpp"
#include "complexity/sample_entropy/ranking.hpp"
#include "complexity/sample_entropy/template_matches.hpp"
#include "numerics/moments.hpp"

namespace quorlin::complexity {

namespace {

TemplateMatches scanned(std::span<const double> x, std::uint64_t m, double r, Pacer& pacer) {
    probes::taken(probes::Path::pair_scan);
    return count_template_matches(x, m, r, pacer);
}

}  // namespace

// Ranks the series when the policy finds that faster and it is possible (a
// template length the grouping handles, and holed templates few enough to
// settle apart cheaply); scans the pairs otherwise.
TemplateMatches template_matches(std::span<const double> x, std::uint64_t m, double r,
                                 Pacer& pacer) {
    const std::uint64_t n = x.size();
    // A NaN tolerance fails no comparison: every pair of either length
    // matches, whatever the samples.
    if (std::isnan(r)) {
        probes::taken(probes::Path::closed_form);
        return {unordered_pairs(n - m - 1), unordered_pairs(n - m)};
    }
    const SearchPolicy& policy = pacer.context().search();
    const double templates = static_cast<double>(n - m);
    if (!policy.rank_templates(m, templates) || n > RankedSeries::kMaxSamples) {
        return scanned(x, m, r, pacer);
    }
    // The ranking reads every sample more than once and builds on what it
    // read: it works on a private copy, which another thread or process
    // cannot change under it.
    const HoledSeries series = holed_series(x);
    const auto length = static_cast<std::size_t>(m);
    const std::size_t short_templates = series.samples.size() - length;
    const std::size_t long_templates = short_templates - 1;
    const auto holed_short = holed_templates(series.holes, length, short_templates);
    const auto holed_long = holed_templates(series.holes, length + 1, long_templates);
    const double holed = static_cast<double>(holed_short.size() + holed_long.size());
    if (!policy.settle_holes_apart(holed, templates)) return scanned(x, m, r, pacer);
    if (series.holes.empty()) {
        probes::taken(probes::Path::ranked_counting);
        const RankedSeries ranked(series.samples, r, pacer);
        return {ranked.matching_pairs(length + 1, long_templates, pacer),
                ranked.matching_pairs(length, short_templates, pacer)};
    }
    probes::taken(probes::Path::ranked_with_holes);
    const RankedSeries ranked(series.filled, r, pacer);
    const HoledPairs a = holed_pairs(series, length + 1, long_templates, holed_long, r, pacer);
    const HoledPairs b = holed_pairs(series, length, short_templates, holed_short, r, pacer);
    return {ranked.matching_pairs(length + 1, long_templates, pacer) - a.with_fill + a.with_nan,
            ranked.matching_pairs(length, short_templates, pacer) - b.with_fill + b.with_nan};
}

double sample_entropy(std::span<const double> signal, std::uint64_t m, std::optional<double> r,
                      const ExecutionContext& context) {
    const std::uint64_t n = signal.size();
    // N < m + 2 without forming m + 2, which may not fit in 64 bits.
    if (m > n || n - m < 2) return kNaN;
    double tolerance;
    if (r.has_value()) {
        tolerance = *r;
    } else {
        tolerance = std::sqrt(population_moments(signal).variance) * 0.2;
    }
    // A NaN tolerance passes on: every pair then matches.
    if (tolerance <= 0.0) return kNaN;
    Pacer pacer(context);
    const TemplateMatches counts = template_matches(signal, m, tolerance, pacer);
    if (counts.b == 0) return kNaN;
    return -std::log(static_cast<double>(counts.a) / static_cast<double>(counts.b));
}

}  // namespace quorlin::complexity
