#include "dynamics/divergence.hpp"

#include <algorithm>
#include <cstring>
#include <deque>
#include <limits>
#include <memory>
#include <mutex>
#include <new>

#include <time.h>

#include "common/memory.hpp"
#include "common/parallel.hpp"
#include "common/vector_clones.hpp"
#include "numerics/lanes.hpp"
#include "numerics/neighbors.hpp"

namespace quorlin::dynamics {
namespace {

std::size_t steps_of(std::size_t n, std::size_t n_steps, std::size_t i, std::size_t j) {
    return std::min(n_steps, n - std::max(i, j));
}

// The processor time of the calling thread, in seconds; -1 where the system
// cannot tell (a difference of two such readings is then never positive).
double thread_seconds() {
    timespec now{};
    if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now) != 0) return -1.0;
    return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
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
    SerialPhase phase(pacer.context(), n_references);
    std::vector<std::size_t> listed;
    for (std::size_t i = 0; i < n_references; ++i) {
        listed.clear();
        partners(i, listed, pacer);
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
        phase.reached(i + 1);
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
// The cells of a diagonal (offset j - i) are held in a slot of kBand values,
// one per row of the band, for as long as a pair still needs the diagonal;
// each cell is therefore computed once per band, not once per pair.

// Bands of 32 and 64 rows measured alike; with 32 the accumulators of a band
// stay in registers with AVX2 as well.
constexpr std::size_t kBand = 32;
constexpr std::size_t kBandLanes = 4;
using BandLanes = DoubleLanes<kBandLanes>;
constexpr std::size_t kBandVectors = kBand / kBandLanes;
static_assert(kBand % kBandLanes == 0);

// One bit per row of a band.
using BandMask = std::uint64_t;
static_assert(kBand <= 8 * sizeof(BandMask));

// The bits first .. last - 1.
constexpr BandMask lanes_between(std::uint32_t first, std::uint32_t last) {
    const BandMask below_last = last >= 64 ? ~BandMask{0} : (BandMask{1} << last) - 1;
    return below_last & ~((BandMask{1} << first) - 1);
}

// A diagonal in use during a pass. Rows, diagonals and slots are numbered in
// 32 bits (follow_pairs takes the direct path for series too long for that).
struct Slot {
    std::uint32_t diagonal;  // the offset j - i, shifted by n - 1 to be >= 0
    std::uint32_t first;     // the first row a pair on it reads in this pass
    std::uint32_t end;       // the row past the last one
    BandMask skipped;        // rows of the current band whose cell adds nothing
};

// One pair of a reference in flight: its diagonal's slot and the first row
// past its last contribution in this pass.
struct PairRecord {
    std::uint32_t slot;
    std::uint32_t end;
};

// Counts, in missed[r], the rows r of [first, last) at which the slot's cell
// was skipped: steps a pair followed without a contribution.
[[gnu::always_inline]] inline void count_missed(std::uint64_t* missed, const Slot& slot,
                                                std::uint32_t first, std::uint32_t last) {
    BandMask missing = slot.skipped & lanes_between(first, last);
    while (missing != 0) {
        ++missed[__builtin_ctzll(missing)];
        missing &= missing - 1;
    }
}

// How many pairs ahead add_band asks for the cells it will read. About a
// quarter of a reference's pairs start a run on a diagonal that the
// previous reference did not read, and those cells come from beyond the
// core's own caches (the pool of a long series is larger than the shared
// one). Measured side by side on Kantz's defaults for the Lorenz x-coordinate,
// 24 rather than 8 pairs ahead took 4 to 6 % less time at 100,000 samples and
// 8 to 12 % less at 20,000; 32 took 4 % more than 24.
constexpr std::size_t kPrefetchAhead = 24;

// References per task when the plan lists every partner list once: a few
// milliseconds of radius searches, against a histogram of the steps to clear
// and merge.
constexpr std::size_t kListingBlock = 2048;

// A band's cells are filled by blocks of at least this many slots (some
// tens of microseconds of work each), about kComputeBlocksPerWorker blocks
// per worker.
constexpr std::size_t kComputeBlockSlots = 128;
constexpr std::size_t kComputeBlocksPerWorker = 8;

// Adds the band's cells of each pair of one reference to the sums of that
// reference. window[r] is the sum for row t0 + r (that is, k = t0 + r - i);
// lanes below first_lane (rows before the reference's first step of the
// pass) and from each pair's end on receive nothing. Each lane sees the
// same IEEE additions in the same order whether they are done in a vector
// or one by one. With kCounting, the steps without a contribution (cells
// that hold -0.0 and carry a bit in their slot's `skipped`) are counted in
// missed[r], so that the counts can be corrected; without it no cell of the
// band is such a step.
template <bool kCounting>
[[gnu::always_inline]] inline void add_band_lanes(double* window, std::uint64_t* missed,
                                                  const double* cells, const Slot* slots,
                                                  const PairRecord* records,
                                                  std::size_t n_records, std::uint32_t t0,
                                                  std::uint32_t first_lane) {
    // Separate accumulators, fully unrolled so that they stay in registers.
    BandLanes acc[kBandVectors];
#pragma GCC unroll 16
    for (std::size_t v = 0; v < kBandVectors; ++v) {
        acc[v] = load_lanes<BandLanes>(window + kBandLanes * v);
    }
    const std::uint32_t band_end = t0 + static_cast<std::uint32_t>(kBand);

    for (std::size_t p = 0; p < n_records; ++p) {
        if (p + kPrefetchAhead < n_records) {
            // The slots of a reference's pairs lie anywhere in the pool: ask
            // for a later pair's cells while this one's are added.
            const double* ahead =
                cells + static_cast<std::size_t>(records[p + kPrefetchAhead].slot) * kBand;
#pragma GCC unroll 8
            for (std::size_t line = 0; line < kBand * sizeof(double); line += 64) {
                __builtin_prefetch(reinterpret_cast<const char*>(ahead) + line);
            }
        }
        const PairRecord record = records[p];
        if (record.end <= t0 + first_lane) continue;  // done in an earlier band
        const double* column = cells + static_cast<std::size_t>(record.slot) * kBand;
        const std::uint32_t last_lane = std::min(record.end, band_end) - t0;
        if (first_lane == 0 && last_lane == kBand) {
            // The common case: the pair covers the whole band.
#pragma GCC unroll 16
            for (std::size_t v = 0; v < kBandVectors; ++v) {
                acc[v] += load_lanes<BandLanes>(column + kBandLanes * v);
            }
        } else {
            // A pair's first or last band, or a reference's first: rare
            // beside the whole bands, so done lane by lane in memory, which
            // keeps every accumulator of the common case in a register.
#pragma GCC unroll 16
            for (std::size_t v = 0; v < kBandVectors; ++v) {
                store_lanes(window + kBandLanes * v, acc[v]);
            }
            for (std::uint32_t lane = first_lane; lane < last_lane; ++lane) window[lane] += column[lane];
#pragma GCC unroll 16
            for (std::size_t v = 0; v < kBandVectors; ++v) {
                acc[v] = load_lanes<BandLanes>(window + kBandLanes * v);
            }
        }
        if constexpr (kCounting) {
            count_missed(missed, slots[record.slot], first_lane, last_lane);
        }
    }
#pragma GCC unroll 16
    for (std::size_t v = 0; v < kBandVectors; ++v) store_lanes(window + kBandLanes * v, acc[v]);
}

// The kernel above, compiled for several instruction sets
// (vector_clones.hpp), without and with the counting.
QUORLIN_VECTOR_CLONES void add_band(double* window, const double* cells,
                                    const PairRecord* records, std::size_t n_records,
                                    std::uint32_t t0, std::uint32_t first_lane) {
    add_band_lanes<false>(window, nullptr, cells, nullptr, records, n_records, t0, first_lane);
}

QUORLIN_VECTOR_CLONES void add_band_counting(double* window, std::uint64_t* missed,
                                             const double* cells, const Slot* slots,
                                             const PairRecord* records, std::size_t n_records,
                                             std::uint32_t t0, std::uint32_t first_lane) {
    add_band_lanes<true>(window, missed, cells, slots, records, n_records, t0, first_lane);
}

// Memory for the cells of the slots, aligned to cache lines: a slot of 32
// cells is exactly four lines.
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
        // The pairs of a reference read slots all over the pool, one after
        // another: with a pool of tens of megabytes (every diagonal of a long
        // series in use) nearly each read would also miss the address
        // translation cache on small pages. Advised before the first touch,
        // so that the pages are faulted in large.
        prefer_huge_pages(bigger.get(), target * kBand * sizeof(double));
        if (slots > 0) std::memcpy(bigger.get(), data.get(), slots * kBand * sizeof(double));
        std::fill(bigger.get() + slots * kBand, bigger.get() + target * kBand, -0.0);
        data = std::move(bigger);
        slots = target;
    }
};

// The slots of a pass: one per diagonal some pair in flight still reads,
// handed back to the pool once no pair reads its diagonal past the current
// band, and handed out again (last returned, first taken) to the next
// diagonal that needs one. A slot's cells are whatever its last band left
// until compute_band fills the rows its pairs read.
class SlotPool {
public:
    static constexpr std::uint32_t kNoSlot = std::numeric_limits<std::uint32_t>::max();

    // Every diagonal without a slot, every slot free.
    void reset(std::size_t diagonals) {
        if (slot_of_.size() != diagonals) {
            require_memory(diagonals, sizeof(std::uint32_t));
            slot_of_.assign(diagonals, kNoSlot);
        } else {
            std::fill(slot_of_.begin(), slot_of_.end(), kNoSlot);
        }
        slots_.clear();
        free_.clear();
        active_.clear();
    }

    // The slot of `diagonal`, taken for it, with `first_row` its first row,
    // when it has none yet.
    std::uint32_t slot_for(std::uint32_t diagonal, std::uint32_t first_row) {
        const std::uint32_t held = slot_of_[diagonal];
        if (held != kNoSlot) return held;
        std::uint32_t slot;
        if (!free_.empty()) {
            slot = free_.back();
            free_.pop_back();
        } else {
            slot = static_cast<std::uint32_t>(slots_.size());
            cells_.grow(std::size_t{slot} + 1);
            slots_.emplace_back();
        }
        slots_[slot] = Slot{diagonal, first_row, first_row, 0};
        slot_of_[diagonal] = slot;
        active_.push_back(slot);
        return slot;
    }

    // Gives back the slots of the diagonals no pair reads at or past `row`.
    void recycle_before(std::size_t row) {
        std::size_t kept = 0;
        for (const std::uint32_t slot : active_) {
            if (slots_[slot].end <= row) {
                slot_of_[slots_[slot].diagonal] = kNoSlot;
                free_.push_back(slot);
            } else {
                active_[kept++] = slot;
            }
        }
        active_.resize(kept);
    }

    Slot& operator[](std::uint32_t slot) { return slots_[slot]; }
    const Slot* slots() const { return slots_.data(); }
    const std::vector<std::uint32_t>& active() const { return active_; }
    double* cells(std::uint32_t slot) { return cells_.data.get() + std::size_t{slot} * kBand; }
    const double* cells() const { return cells_.data.get(); }

private:
    std::vector<std::uint32_t> slot_of_;  // per diagonal
    std::vector<Slot> slots_;
    AlignedCells cells_;                  // kBand per slot
    std::vector<std::uint32_t> free_;
    std::vector<std::uint32_t> active_;   // the slots in use, in no particular order
};

// The sums of one range of steps [k0, k1), with a band of padding on either
// side: the windows of references starting within a band, or ending near k1,
// read and write lanes beyond the range (adding nothing to them), so ranges
// that run at the same time each have sums of their own.
struct RangeSums {
    RangeSums(std::size_t k0, std::size_t k1)
        : first(k0),
          padded_sum(k1 - k0 + 2 * kBand, 0.0),
          padded_missed(k1 - k0 + 2 * kBand, 0) {}

    // Where step k's sum and missed count lie.
    double* sum() { return padded_sum.data() + kBand - static_cast<std::ptrdiff_t>(first); }
    std::uint64_t* missed() {
        return padded_missed.data() + kBand - static_cast<std::ptrdiff_t>(first);
    }

    std::size_t first;
    std::vector<double> padded_sum;
    std::vector<std::uint64_t> padded_missed;
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
        const std::vector<std::pair<std::size_t, std::size_t>> ranges = plan();
        require_memory(steps_ + 2 * kBand * ranges.size(),
                       sizeof(double) + sizeof(std::uint64_t));
        std::vector<RangeSums> range_sums;
        range_sums.reserve(ranges.size());
        std::uint64_t rows = 0;
        for (const auto& [k0, k1] : ranges) {
            range_sums.emplace_back(k0, k1);
            rows += references_ + (k1 - k0);
        }
        // Each range of steps has sums of its own, added to in the order of
        // the pairs whichever thread follows it: the ranges are independent
        // tasks, and the bits do not depend on how many there are. Their
        // progress is counted in rows, all ranges together.
        SharedPhase phase(pacer_.context(), rows);
        if (band_workers_ > 1) {
            for (std::size_t r = 0; r < ranges.size(); ++r) {
                Pass(*this, pacer_, phase, band_workers_)
                    .run(ranges[r].first, ranges[r].second, range_sums[r]);
            }
        } else {
            for_each_task(pacer_.context().with_progress(nullptr), ranges.size(),
                          [&](std::size_t task, Pacer& pacer) {
                              Pass(*this, pacer, phase, 1)
                                  .run(ranges[task].first, ranges[task].second, range_sums[task]);
                          });
        }

        DivergenceSums out{std::vector<double>(steps_), std::vector<std::uint64_t>(steps_)};
        // count[k]: the pairs followed for more than k steps, less the steps
        // at which a pair's points coincided (or were NaN apart).
        std::uint64_t longer = 0;
        std::size_t range = ranges.size();
        for (std::size_t k = steps_; k-- > 0;) {
            while (k < ranges[range - 1].first) --range;
            RangeSums& own = range_sums[range - 1];
            longer += pairs_by_steps_[k + 1];
            out.sum[k] = own.sum()[k];
            out.count[k] = longer - own.missed()[k];
        }
        return out;
    }

private:
    // A reference in flight: its records, and the latest end of its pairs.
    struct Reference {
        std::size_t index;
        std::size_t first_record;
        std::size_t end_record;
        std::size_t last_end;
    };

    // One pass over every reference for the steps [k0, k1): bands of rows
    // from k0 on, each one admitting the references that start in it,
    // filling the cells its pairs read, adding them, then letting go of what
    // later bands no longer need. Everything it changes is its own, so
    // passes over different ranges may run at the same time.
    class Pass {
    public:
        // With band_workers > 1 the pass runs on the calling thread and
        // shares its larger bands with that many workers.
        Pass(const TiledFollower& plan, Pacer& pacer, SharedPhase& phase, unsigned band_workers)
            : plan_(plan),
              n_(plan.n_),
              pacer_(pacer),
              phase_(phase),
              band_workers_(band_workers),
              band_context_(pacer.context().with_progress(nullptr)) {}

        void run(std::size_t k0, std::size_t k1, RangeSums& sums) {
            pool_.reset(2 * n_ - 1);
            const std::size_t rows = plan_.references_ + (k1 - k0);
            std::size_t reported = 0;
            std::size_t next = 0;
            std::size_t t0 = k0;
            while (true) {
                next = admit_until(next, t0 + kBand, k0, k1);
                if (in_flight_.empty()) {
                    if (next == plan_.references_) break;
                    t0 = next + k0;  // nothing to do until the next reference starts
                    continue;
                }
                compute_band(t0, next, k0);
                add_band_to_sums(t0, k0, sums.sum(), sums.missed());
                const std::size_t t1 = t0 + kBand;
                retire_before(t1);
                compact_records();
                pool_.recycle_before(t1);
                const std::size_t done = std::min(rows, t1 - k0);
                phase_.add(done - reported);
                reported = done;
                t0 = t1;
            }
            phase_.add(rows - reported);
        }

    private:
        // Admits references next, next + 1, ... whose first row of the pass
        // lies before `row_end`; returns the first one not admitted.
        // With workers lent to the bands, their partner lists are searched on
        // the workers, one reference a task, and taken in in index order.
        std::size_t admit_until(std::size_t next, std::size_t row_end, std::size_t k0,
                                std::size_t k1) {
            const std::size_t last =
                row_end > k0 ? std::min(plan_.references_, row_end - k0) : next;
            // Those whose partners the last band's cells phase searched.
            while (next < last && next >= prelisted_first_ && next < prelisted_last_) {
                admit(next, prelisted_[next - prelisted_first_], k0, k1);
                ++next;
            }
            if (last <= next) return next;
            const std::size_t batch = last - next;
            if (batch < 2 || band_workers_ <= 1) {
                for (; next < last; ++next) {
                    listed_[0].clear();
                    plan_.partners_(next, listed_[0], pacer_);
                    admit(next, listed_[0], k0, k1);
                }
                return next;
            }
            if (listed_.size() < batch) listed_.resize(batch);
            for_each_task(band_context_, batch, [&](std::size_t task, Pacer& pacer) {
                listed_[task].clear();
                plan_.partners_(next + task, listed_[task], pacer);
            });
            for (std::size_t task = 0; task < batch; ++task) admit(next + task, listed_[task], k0, k1);
            return last;
        }

        // Takes reference i, whose partners are `listed`, into flight for the
        // pass [k0, k1): a record per pair with something to add in the pass,
        // in their listed order.
        void admit(std::size_t i, const std::vector<std::size_t>& listed, std::size_t k0,
                   std::size_t k1) {
            Reference reference{i, records_.size(), records_.size(), 0};
            for (const std::size_t j : listed) {
                const std::size_t steps = std::min(k1, steps_of(n_, plan_.steps_, i, j));
                if (steps <= k0) continue;
                const auto diagonal = static_cast<std::uint32_t>(j + (n_ - 1) - i);
                const std::size_t end = i + steps;
                const std::uint32_t slot =
                    pool_.slot_for(diagonal, static_cast<std::uint32_t>(i + k0));
                Slot& held = pool_[slot];
                held.end = std::max(held.end, static_cast<std::uint32_t>(end));
                if (records_.size() == records_.capacity()) {
                    require_memory(2 * records_.size() + 1, sizeof(PairRecord));
                }
                records_.push_back({slot, static_cast<std::uint32_t>(end)});
                reference.last_end = std::max(reference.last_end, end);
            }
            reference.end_record = records_.size();
            if (reference.end_record > reference.first_record) in_flight_.push_back(reference);
        }

        // Cells of the band [t0, t0 + kBand) on every diagonal still needed, for
        // the rows some pair on it reads. Each slot is its own: with enough of
        // them, shares of the slots go to the workers.
        //
        // Shared among workers, the phase also searches the partner lists of
        // the references that the next band admits (next, next + 1, ...):
        // tasks of their own, handed out first, so that the searches fill in
        // beside the cells instead of taking a phase of their own.
        void compute_band(std::size_t t0, std::size_t next, std::size_t k0) {
            prelisted_first_ = prelisted_last_ = next;
            const std::vector<std::uint32_t>& active = pool_.active();
            const double work = static_cast<double>(active.size()) *
                                static_cast<double>(kBand * cell_units(plan_.points_));
            const std::size_t shares = shares_for(work, active.size());
            if (shares <= 1) {
                band_skips_ = compute_slots(active.data(), active.data() + active.size(), t0, pacer_);
                return;
            }
            // Blocks much smaller than a worker's share, handed out as
            // threads become free: slots that begin or end within the band
            // have fewer cells, and on a shared machine one worker may lose
            // its core for a while.
            const std::size_t block = std::max<std::size_t>(
                kComputeBlockSlots, (active.size() + kComputeBlocksPerWorker * shares - 1) /
                                        (kComputeBlocksPerWorker * shares));
            const std::size_t next_end =
                t0 + 2 * kBand > k0 ? std::min(plan_.references_, t0 + 2 * kBand - k0) : next;
            const std::size_t upcoming = next_end > next ? next_end - next : 0;
            if (prelisted_.size() < upcoming) prelisted_.resize(upcoming);
            const std::size_t blocks = (active.size() + block - 1) / block;
            share_skips_.assign(blocks, 0);
            for_each_task(band_context_, upcoming + blocks, [&](std::size_t task, Pacer& pacer) {
                if (task < upcoming) {
                    prelisted_[task].clear();
                    plan_.partners_(next + task, prelisted_[task], pacer);
                    return;
                }
                const std::size_t b = task - upcoming;
                const std::size_t first = b * block;
                const std::size_t last = std::min(active.size(), first + block);
                share_skips_[b] = compute_slots(active.data() + first, active.data() + last, t0,
                                                pacer);
            });
            prelisted_last_ = next + upcoming;
            band_skips_ = 0;
            for (const BandMask skips : share_skips_) band_skips_ |= skips;
        }

        // The band's cells of the slots [first, last); the rows of the band
        // whose cell some of them skipped.
        BandMask compute_slots(const std::uint32_t* first, const std::uint32_t* last, std::size_t t0,
                               Pacer& pacer) {
            const std::size_t t1 = t0 + kBand;
            BandMask skips = 0;
            for (const std::uint32_t* index = first; index != last; ++index) {
                Slot& slot = pool_[*index];
                const std::size_t from = std::max<std::size_t>(t0, slot.first);
                const std::size_t to = std::min<std::size_t>(t1, slot.end);
                double* column = pool_.cells(*index);
                BandMask skipped = 0;
                // The diagonal is j - i + n - 1, so the partner of row t is
                // t + diagonal - (n - 1), within [0, n) for every row read.
                const std::size_t shift = slot.diagonal;
                for (std::size_t t = from; t < to; ++t) {
                    const double s = squared_distance(plan_.points_, t, t + shift - (n_ - 1));
                    const std::size_t lane = t - t0;
                    if (s > 0.0) {
                        column[lane] = log_distance(s);
                    } else {
                        column[lane] = -0.0;
                        skipped |= BandMask{1} << lane;
                    }
                }
                slot.skipped = skipped;
                skips |= skipped;
                pacer.advance((to - from) * cell_units(plan_.points_) + 1);
            }
            return skips;
        }

        // The band's cells added to the sums, reference by reference in
        // increasing index, each one's pairs in their listed order. With enough
        // pairs in flight the range of k is cut between the workers, each adding
        // to the sums of its own k only: a sum's additions stay those of one
        // thread, in the same order, so the bits do not depend on where the cuts
        // fall (nor on how many there are).
        void add_band_to_sums(std::size_t t0, std::size_t k0, double* sum, std::uint64_t* missed) {
            const std::size_t in_flight = records_.size() - retired_records_;
            const std::size_t shares =
                shares_for(static_cast<double>(in_flight) * 4.0, in_flight_.size());
            constexpr std::ptrdiff_t kLowest = std::numeric_limits<std::ptrdiff_t>::min();
            constexpr std::ptrdiff_t kHighest = std::numeric_limits<std::ptrdiff_t>::max();
            if (shares <= 1) {
                for (const Reference& reference : in_flight_) {
                    add_reference(reference, t0, k0, sum, missed, kLowest, kHighest, pacer_);
                }
                return;
            }
            // Cuts at the references that begin the shares, taken in order of
            // increasing index, that is of decreasing k: the k of a
            // reference's lane 0 is t0 - index. The shares hold equal pairs
            // at first; from then on, pairs in inverse proportion to what a
            // pair of that share cost in the bands before, since a pair does
            // not cost the same everywhere (the newest references, in share
            // 0, add their first band lane by lane, for one): at 20,000
            // samples, with equal pairs, share 0 took 15 to 16 % longer than
            // share 1 on two workers; so placed, the two took the same to
            // 0.2 %.
            share_target_.assign(shares, 1.0 / static_cast<double>(shares));
            if (measured_shares_ == shares) {
                double total = 0.0;
                for (std::size_t q = 0; q < shares; ++q) total += 1.0 / share_cost_[q];
                for (std::size_t q = 0; q < shares; ++q) {
                    // Bounded, so that one odd band (a page fault, a core
                    // lost for a while) cannot starve a share.
                    share_target_[q] = std::clamp(1.0 / share_cost_[q] / total,
                                                  0.25 / static_cast<double>(shares),
                                                  4.0 / static_cast<double>(shares));
                }
            }
            share_pairs_.assign(shares, 0.0);
            cuts_.clear();
            std::size_t seen = 0;
            std::size_t next_share = 1;
            double boundary = share_target_[shares - 1] * static_cast<double>(in_flight);
            for (const Reference& reference : in_flight_) {
                if (next_share < shares && static_cast<double>(seen) >= boundary) {
                    cuts_.push_back(static_cast<std::ptrdiff_t>(t0) -
                                    static_cast<std::ptrdiff_t>(reference.index));
                    ++next_share;
                    boundary += share_target_[shares - next_share] * static_cast<double>(in_flight);
                }
                seen += reference.end_record - reference.first_record;
                share_pairs_[shares - next_share] +=
                    static_cast<double>(reference.end_record - reference.first_record);
            }
            // In increasing k, without repeats; share q adds to k in
            // [cuts_[q - 1], cuts_[q]), the first from -infinity, the last on.
            std::reverse(cuts_.begin(), cuts_.end());
            cuts_.erase(std::unique(cuts_.begin(), cuts_.end()), cuts_.end());
            const std::size_t tasks = cuts_.size() + 1;
            share_seconds_.assign(tasks, 0.0);
            for_each_task(band_context_, tasks, [&](std::size_t share, Pacer& pacer) {
                const double started = thread_seconds();
                const std::ptrdiff_t k_low = share == 0 ? kLowest : cuts_[share - 1];
                const std::ptrdiff_t k_high = share == cuts_.size() ? kHighest : cuts_[share];
                for (const Reference& reference : in_flight_) {
                    add_reference(reference, t0, k0, sum, missed, k_low, k_high, pacer);
                }
                share_seconds_[share] = thread_seconds() - started;
            });
            // The processor time of a thread, not the time elapsed, so that a
            // share that lost its core for a while is not taken for costly.
            // Smoothed over the bands; the cuts never change a bit of the sums.
            if (tasks != shares) {
                measured_shares_ = 0;
                return;
            }
            for (std::size_t q = 0; q < shares; ++q) {
                if (!(share_seconds_[q] > 0.0) || !(share_pairs_[q] > 0.0)) {
                    measured_shares_ = 0;
                    return;
                }
            }
            if (measured_shares_ != shares) share_cost_.assign(shares, 0.0);
            for (std::size_t q = 0; q < shares; ++q) {
                const double cost = share_seconds_[q] / share_pairs_[q];
                share_cost_[q] = measured_shares_ == shares ? 0.5 * (share_cost_[q] + cost) : cost;
            }
            measured_shares_ = shares;
        }

        // One reference's share of the band: the lanes whose k lies in
        // [k_low, k_high). A window that lies within the range is added in
        // vectors; one that the range cuts, lane by lane, its own lanes only.
        void add_reference(const Reference& reference, std::size_t t0, std::size_t k0, double* sum,
                           std::uint64_t* missed, std::ptrdiff_t k_low, std::ptrdiff_t k_high,
                           Pacer& pacer) {
            // window[r] is the sum of row t0 + r, k = t0 + r - i, which lies
            // within the padding for every lane.
            const std::ptrdiff_t base =
                static_cast<std::ptrdiff_t>(t0) - static_cast<std::ptrdiff_t>(reference.index);
            if (base >= k_high || base + static_cast<std::ptrdiff_t>(kBand) <= k_low) return;
            const std::size_t first_row = std::max(t0, reference.index + k0);
            const PairRecord* records = records_.data() + reference.first_record;
            const std::size_t n_records = reference.end_record - reference.first_record;
            const auto band_t0 = static_cast<std::uint32_t>(t0);
            const auto first_lane = static_cast<std::uint32_t>(first_row - t0);
            const std::ptrdiff_t end = base + static_cast<std::ptrdiff_t>(kBand);
            if (base >= k_low && end <= k_high) {
                if (band_skips_ != 0) {
                    add_band_counting(sum + base, missed + base, pool_.cells(), pool_.slots(),
                                      records, n_records, band_t0, first_lane);
                } else {
                    add_band(sum + base, pool_.cells(), records, n_records, band_t0, first_lane);
                }
            } else {
                // The cut lies within the window, so neither difference wraps.
                const std::uint32_t lo =
                    base >= k_low ? first_lane
                                  : std::max(first_lane, static_cast<std::uint32_t>(k_low - base));
                const std::uint32_t hi =
                    end <= k_high ? static_cast<std::uint32_t>(kBand)
                                  : static_cast<std::uint32_t>(k_high - base);
                if (lo < hi) {
                    // The lanes [lo, hi) are this thread's, the others another
                    // thread's: the whole band is added in vectors to a copy
                    // of the window, of which only the own lanes are read in
                    // and written back. Each of them sees the same additions
                    // in the same order as in the window itself; the other
                    // lanes of the copy are scratch.
                    alignas(64) double window[kBand] = {};
                    std::uint64_t window_missed[kBand] = {};
                    for (std::uint32_t lane = lo; lane < hi; ++lane) window[lane] = sum[base + lane];
                    if (band_skips_ != 0) {
                        add_band_counting(window, window_missed, pool_.cells(), pool_.slots(),
                                          records, n_records, band_t0, first_lane);
                    } else {
                        add_band(window, pool_.cells(), records, n_records, band_t0, first_lane);
                    }
                    for (std::uint32_t lane = lo; lane < hi; ++lane) {
                        sum[base + lane] = window[lane];
                        missed[base + lane] += window_missed[lane];
                    }
                }
            }
            // A pair's band is a few vector additions.
            pacer.advance(n_records * 4 + 1);
        }

        // How many workers share a phase of a band of `work` pacer units over
        // `items` independent items: one unless the context lends more and the
        // work repays starting them.
        std::size_t shares_for(double work, std::size_t items) const {
            const unsigned workers = band_workers_;
            if (workers <= 1 || items < 2 || !band_context_.search().split_band(work)) return 1;
            return std::min<std::size_t>(workers, items);
        }

        // References whose pairs all end by `row` leave the flight.
        void retire_before(std::size_t row) {
            while (!in_flight_.empty() && in_flight_.front().last_end <= row) {
                retired_records_ = in_flight_.front().end_record;
                in_flight_.pop_front();
            }
        }

        // Drops the records of retired references once they make up half.
        void compact_records() {
            if (retired_records_ == 0 || 2 * retired_records_ < records_.size()) return;
            records_.erase(records_.begin(),
                           records_.begin() + static_cast<std::ptrdiff_t>(retired_records_));
            for (Reference& reference : in_flight_) {
                reference.first_record -= retired_records_;
                reference.end_record -= retired_records_;
            }
            retired_records_ = 0;
        }

        const TiledFollower& plan_;
        const std::size_t n_;
        Pacer& pacer_;
        SharedPhase& phase_;
        const unsigned band_workers_;
        // The context of the phases of a band: the caller's, without
        // progress, which the pass reports in rows.
        const ExecutionContext band_context_;

        SlotPool pool_;
        BandMask band_skips_ = 0;  // whether any cell of the band was skipped
        std::vector<BandMask> share_skips_;  // the same, per share of the slots
        std::vector<std::ptrdiff_t> cuts_;   // where the shares of k meet
        // What the shares of the additions cost (seconds of a thread's
        // processor time per pair), which places the next band's cuts.
        std::vector<double> share_target_;   // fraction of the pairs per share
        std::vector<double> share_pairs_;
        std::vector<double> share_seconds_;
        std::vector<double> share_cost_;
        std::size_t measured_shares_ = 0;    // shares that share_cost_ describes

        std::vector<PairRecord> records_;
        std::size_t retired_records_ = 0;  // records at the front whose references left
        std::deque<Reference> in_flight_;
        std::vector<std::vector<std::size_t>> listed_ = std::vector<std::vector<std::size_t>>(1);
        // The partner lists of the references prelisted_first_ ..
        // prelisted_last_ - 1, searched ahead of their admission.
        std::vector<std::vector<std::size_t>> prelisted_;
        std::size_t prelisted_first_ = 0;
        std::size_t prelisted_last_ = 0;
    };

    // One pass over every reference: the number of pairs followed for each
    // number of steps; then the ranges of k that the passes take, short
    // enough that the pairs in flight at once fit in the budget: a pass over
    // [k0, k1) holds the pairs of at most k1 - k0 + kBand consecutive
    // references. The passes ask for the partner lists again rather than
    // keep them all.
    //
    // Several workers share the follow-up in one of two ways. Where many
    // pairs are in flight (Kantz's), each band's cells and additions are
    // shared: every worker reads the same cells, which two pools of their
    // own would crowd out of the shared cache (measured at 20,000 samples:
    // 1.55 to 1.8 times faster on two workers, against 1.37 for two
    // ranges). Where
    // few are (Rosenstein's, one per reference), a band is too little work
    // to share, and the steps are cut into at least as many ranges as
    // workers, of about equal additions, passed at the same time with the
    // budget shared between them. Each further range computes the cells
    // where it begins anew and asks for every partner list again, a few
    // percent of the follow-up.
    std::vector<std::pair<std::size_t, std::size_t>> plan() {
        pairs_by_steps_.assign(steps_ + 1, 0);
        require_memory(references_, sizeof(std::uint32_t));
        std::vector<std::uint32_t> listed_count(references_);
        std::uint64_t pairs = 0;
        {
            // Blocks of references listed on the workers; only integer
            // counts come out, merged in whatever order the blocks finish.
            // Each block keeps a histogram of its own while it runs (at most
            // one per thread at a time).
            SharedPhase phase(pacer_.context(), references_);
            std::mutex merge;
            for_each_block(
                pacer_.context().with_progress(nullptr), references_, kListingBlock,
                [&](std::size_t, std::size_t begin, std::size_t end, Pacer& pacer) {
                    require_memory(steps_ + 1, sizeof(std::uint64_t));
                    std::vector<std::uint64_t> by_steps(steps_ + 1, 0);
                    std::vector<std::size_t> listed;
                    std::uint64_t block_pairs = 0;
                    for (std::size_t i = begin; i < end; ++i) {
                        listed.clear();
                        partners_(i, listed, pacer);
                        listed_count[i] = static_cast<std::uint32_t>(listed.size());
                        block_pairs += listed.size();
                        for (const std::size_t j : listed) ++by_steps[steps_of(n_, steps_, i, j)];
                    }
                    const std::lock_guard<std::mutex> hold(merge);
                    pairs += block_pairs;
                    for (std::size_t h = 0; h <= steps_; ++h) pairs_by_steps_[h] += by_steps[h];
                    phase.add(end - begin);
                });
        }
        const double work = static_cast<double>(pairs) * static_cast<double>(steps_) *
                            static_cast<double>(cell_units(points_));
        // Ranges passed at the same time, or bands shared.
        std::size_t workers = 1;
        band_workers_ = 1;
        const SearchPolicy& policy = pacer_.context().search();
        if (pacer_.context().workers() > 1 && references_ > 0 && policy.thread_follow_up(work)) {
            // A pair is in flight for its steps and a band more.
            const double in_flight = static_cast<double>(pairs) *
                                     static_cast<double>(steps_ + kBand) /
                                     static_cast<double>(references_);
            if (policy.split_bands(in_flight)) {
                band_workers_ = pacer_.context().workers();
            } else {
                workers = std::min<std::size_t>(pacer_.context().workers(), steps_);
            }
        }
        const std::size_t budget = std::max<std::size_t>(budget_ / workers, 1);

        // The longest run of references whose lists fit in the budget.
        auto fits = [&](std::size_t run) {
            std::size_t total = 0;
            for (std::size_t i = 0; i < references_; ++i) {
                total += listed_count[i];
                if (i >= run) total -= listed_count[i - run];
                if (total > budget) return false;
            }
            return true;
        };
        std::size_t pass_steps = steps_;
        if (!fits(steps_ + kBand)) {
            std::size_t low = 1, high = steps_ + kBand;  // one list at a time always fits
            while (low < high) {
                const std::size_t middle = low + (high - low + 1) / 2;
                if (fits(middle)) {
                    low = middle;
                } else {
                    high = middle - 1;
                }
            }
            pass_steps = low > kBand ? low - kBand : 1;
        }
        // At least `workers` ranges, cut where the pairs still followed
        // (those with more than k steps, each adding at step k) have added
        // about equal shares, none longer than pass_steps.
        std::vector<std::uint64_t> additions_before(steps_ + 1, 0);
        std::uint64_t longer = pairs;
        for (std::size_t k = 0; k < steps_; ++k) {
            longer -= pairs_by_steps_[k];
            additions_before[k + 1] = additions_before[k] + longer;
        }
        std::vector<std::pair<std::size_t, std::size_t>> ranges;
        std::size_t k0 = 0;
        for (std::size_t cut = 1; cut <= workers; ++cut) {
            std::size_t k1 = steps_;
            if (cut < workers) {
                const double share = static_cast<double>(additions_before[steps_]) *
                                     static_cast<double>(cut) / static_cast<double>(workers);
                k1 = static_cast<std::size_t>(
                    std::lower_bound(additions_before.begin() + static_cast<std::ptrdiff_t>(k0),
                                     additions_before.end(), share,
                                     [](std::uint64_t a, double b) {
                                         return static_cast<double>(a) < b;
                                     }) -
                    additions_before.begin());
                k1 = std::min(std::max(k1, k0 + 1), steps_);
            }
            while (k0 < k1) {
                const std::size_t end = std::min(k1, k0 + pass_steps);
                ranges.emplace_back(k0, end);
                k0 = end;
            }
        }
        return ranges;
    }

    const EmbeddedPoints& points_;
    const std::size_t n_;
    const std::size_t steps_;
    const std::size_t references_;
    const PartnerLists& partners_;
    const std::size_t budget_;
    Pacer& pacer_;

    std::vector<std::uint64_t> pairs_by_steps_;  // pairs followed for exactly h steps
    unsigned band_workers_ = 1;                  // workers that share each band
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
    std::size_t budget = pair_budget;
    if (budget == 0) {
        // Every pass beyond the first computes the cells of its bands anew
        // and searches every partner list again (at 100,000 points of a
        // Lorenz series, 7 passes did about 5 times the cells and 8 times
        // the searches of one), so the pairs in flight may have records of
        // a thirty-second of the memory free now: with the records of
        // retired references kept until they make up half, and a vector's
        // room to grow, that is at most an eighth in use (several processes
        // of a batch may each take as much), allocated only as pairs need
        // it. Under an address-space limit the share is of the room left
        // below it. The floor, 32 MiB or 64 pairs per point, is what the
        // path always had.
        const std::uint64_t free_now =
            std::min(available_memory_bytes(), address_space_headroom_bytes());
        const std::uint64_t share = free_now / 32 / sizeof(PairRecord);
        budget = static_cast<std::size_t>(std::min<std::uint64_t>(
            share, std::numeric_limits<std::size_t>::max() / (4 * sizeof(PairRecord))));
        budget = std::max({budget, std::size_t{1} << 22, 64 * n});
    }
    return TiledFollower(points, n_steps, n_references, partners, budget, pacer).run();
}

}  // namespace quorlin::dynamics
