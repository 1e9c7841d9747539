// Group-relative advantages in vector lanes, compiled once per instruction
// set.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "kernels/group_lanes.h"
#include "kernels/vector_ranges.h"
#include "numeric/median.h"
#include "numeric/scratch.h"
#include "numeric/simd.h"
#include "numeric/sorting_network.h"

namespace qrl::kernels::QRL_TARGET {
namespace {

using group_lanes::median_of;
using group_lanes::minimum_of;
using group_lanes::sum_in_index_order;

using numeric::DoubleRun;
namespace simd = numeric::simd;
using numeric::kNetworkLimit;
using simd::Doubles;
using simd::kLanes;

using simd::get;
using simd::put;

// a holds n values of a group (T = double) or of kLanes interleaved groups
// (T = Doubles) on entry and their advantages on exit; `median` is the
// baseline when that kind is chosen.
template <class T>
QRL_VECTOR_INLINE void advantages_in_place(double* a, std::int64_t n, Baseline baseline, const T& median,
                                           bool normalize) {
    const T count = simd::splat<T>(static_cast<double>(n));
    T b;
    switch (baseline) {
        case Baseline::Mean: b = sum_in_index_order<T>(a, n) / count; break;
        case Baseline::Min: b = minimum_of<T>(a, n); break;
        default: b = median; break;
    }
    for (std::int64_t j = 0; j < n; ++j) put(a, j, get<T>(a, j) - b);
    if (normalize) group_lanes::standardise_in_place<T>(a, n);
}

// Medians of kLanes groups of n <= kNetworkLimit values without NaN, held
// interleaved in `lanes`: the network sorts every lane at once with
// branch-free minimum and maximum.  It does not keep equal values in input
// order, which only matters for the sign of a zero; that is settled from the
// group's own row.
QRL_VECTOR_INLINE Doubles medians_by_network(const numeric::SortingNetwork& network, const double* lanes,
                                             std::int64_t n, const numeric::DoubleMatrix& rewards,
                                             std::int64_t first_group) {
    double sorted[kNetworkLimit * kLanes];
    std::memcpy(sorted, lanes, static_cast<std::size_t>(n * kLanes) * sizeof(double));
    for (std::int64_t j = n; j < network.size; ++j) put(sorted, j, simd::splat<Doubles>(INFINITY));
    for (int p = 0; p < network.count; ++p) {
        const Doubles a = get<Doubles>(sorted, network.pairs[p][0]);
        const Doubles b = get<Doubles>(sorted, network.pairs[p][1]);
        const auto less = a < b;
        put(sorted, network.pairs[p][0], simd::select(less, a, b));
        put(sorted, network.pairs[p][1], simd::select(less, b, a));
    }
    const std::int64_t k = n / 2;
    Doubles medians;
    for (int lane = 0; lane < kLanes; ++lane) {
        const DoubleRun row = rewards.row(first_group + lane);
        const double upper = numeric::with_stable_zero_sign(sorted[k * kLanes + lane], k, row, n);
        if (n % 2 == 1) {
            medians[lane] = upper;
        } else {
            const double lower = numeric::with_stable_zero_sign(sorted[(k - 1) * kLanes + lane], k - 1, row, n);
            medians[lane] = (lower + upper) * 0.5;
        }
    }
    return medians;
}

// out = row - b for a row of unit stride.
QRL_VECTOR_INLINE void subtract_row(const char* row, std::int64_t n, double b, double* out) {
    const simd::Constant baseline(b);
    simd::map(
        out, 0, n,
        [&](auto x) QRL_LAMBDA_INLINE {
            using T = decltype(x);
            return x - baseline.as<T>();
        },
        row);
}

// The minimum baseline without standardisation needs no sequential sum:
// minNum gives the same result in any order, so a row of unit stride
// reduces in vector lanes along its own elements, and the subtraction is
// element-wise.
QRL_VECTOR_INLINE void min_baseline_row(const char* row, std::int64_t n, double* out) {
    // Four running minima, so the latency of one minNum does not stall the
    // next (a NaN never enters: minNum(infinity, NaN) is infinity).
    Doubles lanes[4];
    for (Doubles& v : lanes) v = simd::splat<Doubles>(INFINITY);
    std::int64_t j = 0;
    for (; j + 4 * kLanes <= n; j += 4 * kLanes)
        for (int k = 0; k < 4; ++k) lanes[k] = simd::min_num(lanes[k], simd::load(row, j + k * kLanes));
    for (; j + kLanes <= n; j += kLanes) lanes[0] = simd::min_num(lanes[0], simd::load(row, j));
    Doubles m = simd::min_num(simd::min_num(lanes[0], lanes[1]), simd::min_num(lanes[2], lanes[3]));
    // Across the lanes by halves in vector registers (a chain of scalar
    // minNum branches and mispredicts on random data).
    // (constant shuffles: GCC builds a computed index vector lane by lane)
#if QRL_LANES == 8
    m = simd::min_num(m, __builtin_shufflevector(m, m, 4, 5, 6, 7, 0, 1, 2, 3));
    m = simd::min_num(m, __builtin_shufflevector(m, m, 2, 3, 0, 1, 6, 7, 4, 5));
    m = simd::min_num(m, __builtin_shufflevector(m, m, 1, 0, 3, 2, 5, 4, 7, 6));
#elif QRL_LANES == 4
    m = simd::min_num(m, __builtin_shufflevector(m, m, 2, 3, 0, 1));
    m = simd::min_num(m, __builtin_shufflevector(m, m, 1, 0, 3, 2));
#else
    static_assert(kLanes == 2);
    m = simd::min_num(m, __builtin_shufflevector(m, m, 1, 0));
#endif
    double b = m[0];
    for (; j < n; ++j) b = numeric::min_num(b, simd::load_one(row, j));
    subtract_row(row, n, b, out);
}

// Strategy for unit-stride rows, minimum baseline, no standardisation.
QRL_VECTOR_INLINE void min_baseline_groups(const numeric::DoubleMatrix& rewards, double* out, std::int64_t begin,
                                           std::int64_t end) {
    const std::int64_t n = rewards.columns;
    for (std::int64_t i = begin; i < end; ++i) min_baseline_row(rewards.row(i).data, n, out + i * n);
}

// Rows whose sums advance together: enough independent chains to cover the
// latency of an addition on every target.
constexpr std::int64_t kMeanChains = 16;

template <std::int64_t kRows>
QRL_VECTOR_INLINE void mean_baseline_block(const numeric::DoubleMatrix& rewards, double* out, std::int64_t first,
                                           std::int64_t n) {
    const char* rows[kRows];
    double sums[kRows];
    for (std::int64_t r = 0; r < kRows; ++r) {
        rows[r] = rewards.row(first + r).data;
        sums[r] = -0.0;
    }
    for (std::int64_t j = 0; j < n; ++j)
        for (std::int64_t r = 0; r < kRows; ++r) sums[r] = sums[r] + simd::load_one(rows[r], j);
    for (std::int64_t r = 0; r < kRows; ++r)
        subtract_row(rows[r], n, sums[r] / static_cast<double>(n), out + (first + r) * n);
}

// Strategy for unit-stride rows, mean baseline, no standardisation: the sums
// of kMeanChains rows advance together (independent chains, each in index
// order) straight from the rows, and the subtraction is element-wise.
QRL_VECTOR_INLINE void mean_baseline_groups(const numeric::DoubleMatrix& rewards, double* out, std::int64_t begin,
                                            std::int64_t end) {
    const std::int64_t n = rewards.columns;
    std::int64_t first = begin;
    for (; first + kMeanChains <= end; first += kMeanChains) mean_baseline_block<kMeanChains>(rewards, out, first, n);
    for (; first + 4 <= end; first += 4) mean_baseline_block<4>(rewards, out, first, n);
    for (; first < end; ++first) mean_baseline_block<1>(rewards, out, first, n);
}

// Strategy for whole blocks of kLanes groups, any layout and baseline: the
// groups side by side in vector lanes; medians by the sorting network for
// groups of up to kNetworkLimit values without NaN, else group by group.
// Returns the first group it left out (fewer than kLanes remain from there).
QRL_VECTOR_INLINE std::int64_t groups_side_by_side(const numeric::DoubleMatrix& rewards, Baseline baseline,
                                                   bool normalize, double* out, std::int64_t begin, std::int64_t end,
                                                   double* scratch) {
    const std::int64_t n = rewards.columns;
    if (end - begin < kLanes) return begin;
    // Element j of lane l at lanes[j * kLanes + l].
    numeric::Scratch<1024> buffer(static_cast<std::size_t>(n * kLanes));
    double* lanes = buffer.data();
    const bool by_network = baseline == Baseline::Median && n <= kNetworkLimit;
    std::int64_t i = begin;
    for (; i + kLanes <= end; i += kLanes) {
        Doubles median = simd::splat<Doubles>(0.0);
        bool any_nan = false;
        for (int lane = 0; lane < kLanes; ++lane) {
            const DoubleRun row = rewards.row(i + lane);
            for (std::int64_t j = 0; j < n; ++j) {
                const double x = row[j];
                any_nan |= (x != x);
                lanes[j * kLanes + lane] = x;
            }
        }
        if (baseline == Baseline::Median) {
            // With NaN the insertion order decides; groups go one by one.
            if (by_network && !any_nan) {
                median = medians_by_network(numeric::sorting_network_for(n), lanes, n, rewards, i);
            } else {
                for (int lane = 0; lane < kLanes; ++lane) median[lane] = median_of(rewards.row(i + lane), scratch);
            }
        }
        advantages_in_place<Doubles>(lanes, n, baseline, median, normalize);
        for (int lane = 0; lane < kLanes; ++lane) {
            double* a = out + (i + lane) * n;
            for (std::int64_t j = 0; j < n; ++j) a[j] = lanes[j * kLanes + lane];
        }
    }
    return i;
}

// Strategy for single groups (what is left over by the blocks).
QRL_VECTOR_INLINE void groups_one_by_one(const numeric::DoubleMatrix& rewards, Baseline baseline, bool normalize,
                                         double* out, std::int64_t begin, std::int64_t end, double* scratch) {
    const std::int64_t n = rewards.columns;
    for (std::int64_t i = begin; i < end; ++i) {
        const DoubleRun row = rewards.row(i);
        double* a = out + i * n;
        for (std::int64_t j = 0; j < n; ++j) a[j] = row[j];
        const double median = baseline == Baseline::Median ? median_of(row, scratch) : 0.0;
        advantages_in_place<double>(a, n, baseline, median, normalize);
    }
}

}  // namespace

// Groups begin..end-1 by the fastest strategy that gives the same bits.
void groups_range(const numeric::DoubleMatrix& rewards, Baseline baseline, bool normalize, double* out,
                  std::int64_t begin, std::int64_t end) {
    const std::int64_t n = rewards.columns;
    if (n == 0) return;
    const bool unit_stride_rows = rewards.column_stride == sizeof(double);
    if (!normalize && unit_stride_rows && baseline == Baseline::Min)
        return min_baseline_groups(rewards, out, begin, end);
    if (!normalize && unit_stride_rows && baseline == Baseline::Mean)
        return mean_baseline_groups(rewards, out, begin, end);
    numeric::Scratch<256> scratch(baseline == Baseline::Median ? static_cast<std::size_t>(n) : 0);
    const std::int64_t rest = groups_side_by_side(rewards, baseline, normalize, out, begin, end, scratch.data());
    groups_one_by_one(rewards, baseline, normalize, out, rest, end, scratch.data());
}

}  // namespace qrl::kernels::QRL_TARGET
