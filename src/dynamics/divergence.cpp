#include "dynamics/divergence.hpp"

#include <algorithm>
#include <cstring>
#include <deque>
#include <limits>
#include <memory>
#include <new>

#include "common/memory.hpp"
#include "common/vector_clones.hpp"
#include "numerics/neighbors.hpp"

namespace quorlin::dynamics {
namespace {

std::size_t steps_of(std::size_t n, std::size_t n_steps, std::size_t i, std::size_t j) {
    return std::min(n_steps, n - std::max(i, j));
}

// Work units of one cell: the coordinate differences of its distance, and
// the logarithm, which costs as much as a dozen or two of them.
std::size_t cell_units(const EmbeddedPoints& points) { return points.dim() + 16; }

// The literal method, the reference: every pair on its own, every cell
// measured anew.
DivergenceSums follow_directly(const EmbeddedPoints& points, std::size_t n_steps,
                               std::size_t n_references, const PartnerLists& partners,
                               Pacer& pacer) {
    DivergenceSums out{std::vector<double>(n_steps, 0.0),
                       std::vector<std::uint64_t>(n_steps, 0)};
    const std::size_t n = points.size();
    std::vector<std::size_t> listed;
    for (std::size_t i = 0; i < n_references; ++i) {
        listed.clear();
        partners(i, listed);
        for (const std::size_t j : listed) {
            const std::size_t horizon = steps_of(n, n_steps, i, j);
            for (std::size_t k = 0; k < horizon; ++k) {
                const double s = squared_distance(points, i + k, j + k);
                if (s > 0.0) {
                    out.sum[k] += log_distance(s);
                    ++out.count[k];
                }
            }
            pacer.advance(horizon * cell_units(points) + 1);
        }
    }
    return out;
}

// ---------------------------------------------------------------------------
// The tiled path.
//
// Rows t of the distance matrix are processed in bands [t0, t0 + kBand). A pair
// (i, j) contributes its cells (t, t + j - i) for t in [i + k0, i + k1) to
// sum[t - i], where [k0, k1) is the pass's range of steps (capped by the
// pair's own number of steps). Within a band, references are taken in
// increasing i and each one's pairs in their listed order; bands follow each
// other in increasing t0. For a fixed k, the pair (i, j) contributes in the
// band that holds row i + k, so every sum[k] receives its additions in the
// order of the pairs, exactly as in the direct path.
//
// The cells of a diagonal ("column", offset j - i) are held in a slot of
// kBand values, one per row of the band, for as long as a pair still needs
// the diagonal; each cell is therefore computed once per band, not once per
// pair. (Bands of 32 and 64 rows measured alike; 32 keeps the accumulators
// in registers with AVX2 as well.)

constexpr std::size_t kBand = 32;
constexpr std::size_t kVectors = kBand / 8;

// One bit per row of a band.
using BandMask = std::uint64_t;
static_assert(kBand <= 8 * sizeof(BandMask));

// The bits first .. last - 1.
constexpr BandMask lanes_between(std::uint32_t first, std::uint32_t last) {
    const BandMask below_last = last >= 64 ? ~BandMask{0} : (BandMask{1} << last) - 1;
    return below_last & ~((BandMask{1} << first) - 1);
}

using Lanes = double __attribute__((vector_size(64)));
using LaneIndex = std::int64_t __attribute__((vector_size(64)));

// One pair of a reference in flight: its diagonal's slot and the first row
// past its last contribution in this pass.
struct PairRecord {
    std::uint32_t slot;
    std::uint32_t end;
};

// Adds the band's cells of each pair of one reference to the sums of that
// reference. window[r] is the sum for row t0 + r (that is, k = t0 + r - i);
// lanes below first_lane (rows before the reference's first step of the
// pass) and from each pair's end on receive nothing. When `skipped` is
// given, the steps without a contribution (cells that hold -0.0 and carry a
// bit in skipped[slot]) are counted in missed[r], so that the counts can be
// corrected; without it no cell of the band is such a step.
//
// Compiled for several instruction sets (vector_clones.hpp).
QUORLIN_VECTOR_CLONES void add_band(
    double* window, std::uint64_t* missed, const double* cells, const BandMask* skipped,
    const PairRecord* records, std::size_t n_records, std::uint32_t t0, std::uint32_t first_lane) {
    // Separate accumulators, fully unrolled so that they stay in registers.
    Lanes acc[kVectors];
#pragma GCC unroll 16
    for (std::size_t v = 0; v < kVectors; ++v) std::memcpy(&acc[v], window + 8 * v, sizeof(Lanes));
    const LaneIndex lane = {0, 1, 2, 3, 4, 5, 6, 7};
    const Lanes nothing = {-0.0, -0.0, -0.0, -0.0, -0.0, -0.0, -0.0, -0.0};
    const std::uint32_t band_end = t0 + static_cast<std::uint32_t>(kBand);

    // Lanes first_lane .. last_lane - 1 of a column.
    auto add_part = [&](const double* column, std::uint32_t last_lane) {
        const LaneIndex from = lane - static_cast<std::int64_t>(first_lane);
        const LaneIndex to = lane - static_cast<std::int64_t>(last_lane);
#pragma GCC unroll 16
        for (std::size_t v = 0; v < kVectors; ++v) {
            // Lane l of vector v is inside when first <= 8v + l < last.
            const std::int64_t offset = -8 * static_cast<std::int64_t>(v);
            Lanes c;
            std::memcpy(&c, column + 8 * v, sizeof c);
            acc[v] += (from >= offset) & (to < offset) ? c : nothing;
        }
    };

    if (first_lane == 0 && skipped == nullptr) {
        // The common case: most pairs cover the whole band.
        for (std::size_t p = 0; p < n_records; ++p) {
            const PairRecord record = records[p];
            const double* column = cells + static_cast<std::size_t>(record.slot) * kBand;
            if (record.end >= band_end) {
#pragma GCC unroll 16
                for (std::size_t v = 0; v < kVectors; ++v) {
                    Lanes c;
                    std::memcpy(&c, column + 8 * v, sizeof c);
                    acc[v] += c;
                }
            } else if (record.end > t0) {
                add_part(column, record.end - t0);
            }
        }
    } else {
        for (std::size_t p = 0; p < n_records; ++p) {
            const PairRecord record = records[p];
            if (record.end <= t0 + first_lane) continue;  // done in an earlier band
            const double* column = cells + static_cast<std::size_t>(record.slot) * kBand;
            const std::uint32_t last_lane = std::min(record.end, band_end) - t0;
            add_part(column, last_lane);
            if (skipped == nullptr) continue;
            BandMask missing = skipped[record.slot] & lanes_between(first_lane, last_lane);
            while (missing != 0) {
                ++missed[__builtin_ctzll(missing)];
                missing &= missing - 1;
            }
        }
    }
#pragma GCC unroll 16
    for (std::size_t v = 0; v < kVectors; ++v) std::memcpy(window + 8 * v, &acc[v], sizeof(Lanes));
}

// Memory for the slots, aligned to cache lines: a slot of 32 cells is
// exactly four lines.
struct AlignedCells {
    static constexpr std::align_val_t kAlignment{64};
    struct Free {
        void operator()(double* p) const { ::operator delete[](p, kAlignment); }
    };
    std::unique_ptr<double[], Free> data;
    std::size_t slots = 0;

    void grow(std::size_t needed) {
        if (needed <= slots) return;
        const std::size_t target = std::max(needed, 2 * slots);
        require_memory(target, kBand * sizeof(double));
        std::unique_ptr<double[], Free> bigger(
            static_cast<double*>(::operator new[](target * kBand * sizeof(double), kAlignment)));
        if (slots > 0) std::memcpy(bigger.get(), data.get(), slots * kBand * sizeof(double));
        std::fill(bigger.get() + slots * kBand, bigger.get() + target * kBand, -0.0);
        data = std::move(bigger);
        slots = target;
    }
};

class TiledFollower {
public:
    TiledFollower(const EmbeddedPoints& points, std::size_t n_steps, std::size_t n_references,
                  const PartnerLists& partners, std::size_t pair_budget, Pacer& pacer)
        : points_(points),
          n_(points.size()),
          steps_(n_steps),
          references_(n_references),
          partners_(partners),
          budget_(pair_budget),
          pacer_(pacer) {}

    DivergenceSums run() {
        survey();
        // Sums with a band of padding on either side, so that the windows of
        // references starting within a band, or ending near K, stay inside.
        require_memory(steps_ + 2 * kBand, sizeof(double) + sizeof(std::uint64_t));
        std::vector<double> padded_sum(steps_ + 2 * kBand, 0.0);
        std::vector<std::uint64_t> padded_missed(steps_ + 2 * kBand, 0);
        require_memory(2 * n_, sizeof(std::uint32_t));
        slot_of_.assign(2 * n_ - 1, kNoSlot);

        std::size_t k0 = 0;
        while (k0 < steps_) {
            const std::size_t k1 = std::min(steps_, k0 + pass_steps_);
            pass(k0, k1, padded_sum.data() + kBand, padded_missed.data() + kBand);
            k0 = k1;
        }

        DivergenceSums out{std::vector<double>(padded_sum.begin() + kBand,
                                               padded_sum.begin() + kBand + steps_),
                           std::vector<std::uint64_t>(steps_)};
        // count[k]: the pairs followed for more than k steps, less the steps
        // at which a pair's points coincided (or were NaN apart).
        std::uint64_t longer = 0;
        for (std::size_t k = steps_; k-- > 0;) {
            longer += pairs_by_steps_[k + 1];
            out.count[k] = longer - padded_missed[kBand + k];
        }
        return out;
    }

private:
    static constexpr std::uint32_t kNoSlot = std::numeric_limits<std::uint32_t>::max();

    struct Reference {
        std::size_t index;
        std::size_t first_record;
        std::size_t end_record;
        std::size_t last_end;  // the latest end of its pairs
    };

    // One pass over every reference: the number of pairs followed for each
    // number of steps, and the passes over ranges of k, short enough that
    // the pairs in flight at once fit in the budget: a pass over [k0, k1)
    // holds the pairs of at most k1 - k0 + kBand consecutive references.
    // The passes ask for the partner lists again rather than keep them all.
    void survey() {
        pairs_by_steps_.assign(steps_ + 1, 0);
        require_memory(references_, sizeof(std::uint32_t));
        std::vector<std::uint32_t> listed_count(references_);
        for (std::size_t i = 0; i < references_; ++i) {
            listed_.clear();
            partners_(i, listed_);
            listed_count[i] = static_cast<std::uint32_t>(listed_.size());
            for (const std::size_t j : listed_) ++pairs_by_steps_[steps_of(n_, steps_, i, j)];
        }
        // The longest run of references whose lists fit in the budget.
        auto fits = [&](std::size_t run) {
            std::size_t total = 0;
            for (std::size_t i = 0; i < references_; ++i) {
                total += listed_count[i];
                if (i >= run) total -= listed_count[i - run];
                if (total > budget_) return false;
            }
            return true;
        };
        if (fits(steps_ + kBand)) {
            pass_steps_ = steps_;
            return;
        }
        std::size_t low = 1, high = steps_ + kBand;  // one list at a time always fits
        while (low < high) {
            const std::size_t middle = low + (high - low + 1) / 2;
            if (fits(middle)) {
                low = middle;
            } else {
                high = middle - 1;
            }
        }
        pass_steps_ = low > kBand ? low - kBand : 1;
    }

    std::uint32_t allocate_slot(std::size_t column, std::size_t first_row) {
        std::uint32_t slot;
        if (!free_slots_.empty()) {
            slot = free_slots_.back();
            free_slots_.pop_back();
        } else {
            slot = static_cast<std::uint32_t>(slot_column_.size());
            cells_.grow(slot + 1);
            slot_column_.push_back(0);
            slot_first_.push_back(0);
            slot_end_.push_back(0);
            skipped_.push_back(0);
        }
        slot_column_[slot] = column;
        slot_first_[slot] = first_row;
        slot_end_[slot] = first_row;
        slot_of_[column] = slot;
        active_.push_back(slot);
        return slot;
    }

    // Takes reference i into flight for the pass [k0, k1).
    void admit(std::size_t i, std::size_t k0, std::size_t k1) {
        listed_.clear();
        partners_(i, listed_);
        Reference reference{i, records_.size(), records_.size(), 0};
        for (const std::size_t j : listed_) {
            const std::size_t steps = std::min(k1, steps_of(n_, steps_, i, j));
            if (steps <= k0) continue;
            const std::size_t column = j + (n_ - 1) - i;  // offset j - i, shifted to >= 0
            const std::size_t end = i + steps;
            std::uint32_t slot = slot_of_[column];
            if (slot == kNoSlot) slot = allocate_slot(column, i + k0);
            slot_end_[slot] = std::max(slot_end_[slot], end);
            records_.push_back({slot, static_cast<std::uint32_t>(end)});
            reference.last_end = std::max(reference.last_end, end);
        }
        reference.end_record = records_.size();
        if (reference.end_record > reference.first_record) in_flight_.push_back(reference);
    }

    // Cells of the band [t0, t0 + 32) on every diagonal still needed, for
    // the rows some pair on it reads.
    void compute_band(std::size_t t0) {
        const std::size_t t1 = t0 + kBand;
        band_skips_ = 0;
        for (const std::uint32_t slot : active_) {
            const std::size_t from = std::max(t0, slot_first_[slot]);
            const std::size_t to = std::min(t1, slot_end_[slot]);
            double* column = cells_.data.get() + static_cast<std::size_t>(slot) * kBand;
            BandMask skipped = 0;
            // The column index is j - i + n - 1, so the partner of row t is
            // t + column - (n - 1), within [0, n) for every row read.
            const std::size_t shift = slot_column_[slot];
            for (std::size_t t = from; t < to; ++t) {
                const double s = squared_distance(points_, t, t + shift - (n_ - 1));
                const std::size_t lane = t - t0;
                if (s > 0.0) {
                    column[lane] = log_distance(s);
                } else {
                    column[lane] = -0.0;
                    skipped |= BandMask{1} << lane;
                }
            }
            skipped_[slot] = skipped;
            band_skips_ |= skipped;
            pacer_.advance((to - from) * cell_units(points_) + 1);
        }
    }

    void pass(std::size_t k0, std::size_t k1, double* sum, std::uint64_t* missed) {
        std::fill(slot_of_.begin(), slot_of_.end(), kNoSlot);
        free_slots_.clear();
        active_.clear();
        slot_column_.clear();
        slot_first_.clear();
        slot_end_.clear();
        skipped_.clear();
        records_.clear();
        in_flight_.clear();
        std::size_t records_front = 0;

        std::size_t next = 0;
        std::size_t t0 = k0;
        while (true) {
            // References whose first row of the pass lies in this band.
            while (next < references_ && next + k0 < t0 + kBand) admit(next++, k0, k1);
            if (in_flight_.empty()) {
                if (next == references_) break;
                t0 = next + k0;  // nothing to do until the next reference starts
                continue;
            }
            compute_band(t0);
            for (const Reference& reference : in_flight_) {
                const std::size_t first_row = std::max(t0, reference.index + k0);
                // window[r] is the sum of row t0 + r, k = t0 + r - i, which
                // lies within the padding for every lane.
                const std::ptrdiff_t base = static_cast<std::ptrdiff_t>(t0) -
                                            static_cast<std::ptrdiff_t>(reference.index);
                add_band(sum + base, missed + base, cells_.data.get(),
                         band_skips_ != 0 ? skipped_.data() : nullptr,
                         records_.data() + reference.first_record,
                         reference.end_record - reference.first_record,
                         static_cast<std::uint32_t>(t0),
                         static_cast<std::uint32_t>(first_row - t0));
                // A pair's band is four vector additions.
                pacer_.advance((reference.end_record - reference.first_record) * 4 + 1);
            }
            const std::size_t t1 = t0 + kBand;
            while (!in_flight_.empty() && in_flight_.front().last_end <= t1) {
                records_front = in_flight_.front().end_record;
                in_flight_.pop_front();
            }
            // Drop the records of retired references once they make up half.
            if (records_front > 0 && 2 * records_front >= records_.size()) {
                records_.erase(records_.begin(),
                               records_.begin() + static_cast<std::ptrdiff_t>(records_front));
                for (Reference& reference : in_flight_) {
                    reference.first_record -= records_front;
                    reference.end_record -= records_front;
                }
                records_front = 0;
            }
            // Diagonals that no pair reads beyond this band give their slots back.
            std::size_t kept = 0;
            for (const std::uint32_t slot : active_) {
                if (slot_end_[slot] <= t1) {
                    slot_of_[slot_column_[slot]] = kNoSlot;
                    free_slots_.push_back(slot);
                } else {
                    active_[kept++] = slot;
                }
            }
            active_.resize(kept);
            t0 = t1;
        }
    }

    const EmbeddedPoints& points_;
    const std::size_t n_;
    const std::size_t steps_;
    const std::size_t references_;
    const PartnerLists& partners_;
    const std::size_t budget_;
    Pacer& pacer_;

    std::vector<std::uint64_t> pairs_by_steps_;  // pairs followed for exactly h steps
    std::size_t pass_steps_ = 0;

    std::vector<std::uint32_t> slot_of_;  // per column (offset + n - 1)
    AlignedCells cells_;
    std::vector<std::size_t> slot_column_;
    std::vector<std::size_t> slot_first_;
    std::vector<std::size_t> slot_end_;
    std::vector<BandMask> skipped_;
    BandMask band_skips_ = 0;  // whether any cell of the band was skipped
    std::vector<std::uint32_t> free_slots_;
    std::vector<std::uint32_t> active_;

    std::vector<PairRecord> records_;
    std::deque<Reference> in_flight_;
    std::vector<std::size_t> listed_;
};

}  // namespace

DivergenceSums follow_pairs(const EmbeddedPoints& points, std::size_t n_steps,
                            std::size_t n_references, const PartnerLists& partners, bool tiled,
                            Pacer& pacer, std::size_t pair_budget) {
    // The tiled path numbers rows, slots and diagonals in 32 bits.
    const std::size_t n = points.size();
    if (!tiled || n_steps == 0 || n < 2 || n > std::numeric_limits<std::uint32_t>::max() / 2) {
        return follow_directly(points, n_steps, n_references, partners, pacer);
    }
    // Records of the pairs in flight (8 bytes each): 32 MiB, or 64 per point
    // when that is more.
    const std::size_t budget =
        pair_budget > 0 ? pair_budget : std::max<std::size_t>(std::size_t{1} << 22, 64 * n);
    return TiledFollower(points, n_steps, n_references, partners, budget, pacer).run();
}

}  // namespace quorlin::dynamics
