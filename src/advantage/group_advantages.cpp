#include "advantage/group_advantages.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "numeric/median.h"
#include "numeric/simd.h"
#include "parallel/parallel_map.h"

namespace qrl::advantage {
namespace {

using numeric::DoubleRun;
namespace simd = numeric::simd;
using simd::Doubles;
using simd::kLanes;

// Standardisation threshold and addend alike.
constexpr double kStdFloor = 1e-8;

// The group computation is written once for T = double (one group) and for
// T = Doubles (kLanes groups side by side, one per lane).  Every lane runs
// exactly the scalar sequence of operations, so a group's result does not
// depend on the path it took; the lanes only hide the latency of the
// sequential sums.

using simd::get;
using simd::put;

template <class T>
QRL_VECTOR_INLINE T sum_in_index_order(const double* a, std::int64_t n) {
    T sum = simd::splat<T>(-0.0);  // a single running total, from -0.0
    for (std::int64_t j = 0; j < n; ++j) sum = sum + get<T>(a, j);
    return sum;
}

template <class T>
QRL_VECTOR_INLINE T minimum_of(const double* a, std::int64_t n) {
    T b = simd::splat<T>(INFINITY);
    for (std::int64_t j = 0; j < n; ++j) b = simd::min_num(b, get<T>(a, j));
    return b;
}

QRL_VECTOR_INLINE double sqrt_each(double x) { return std::sqrt(x); }
QRL_VECTOR_INLINE Doubles sqrt_each(Doubles x) {
    for (int lane = 0; lane < kLanes; ++lane) x[lane] = std::sqrt(x[lane]);
    return x;
}

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
    if (!normalize || n < 2) return;

    const T mu = sum_in_index_order<T>(a, n) / count;
    T squares = simd::splat<T>(-0.0);
    for (std::int64_t j = 0; j < n; ++j) {
        const T d = get<T>(a, j) - mu;
        squares = squares + d * d;
    }
    const T sigma = sqrt_each(squares / count);
    // Below the floor (or NaN) the advantages stay neither centred nor scaled.
    const auto scale = sigma > simd::splat<T>(kStdFloor);
    const T divisor = sigma + simd::splat<T>(kStdFloor);
    for (std::int64_t j = 0; j < n; ++j) {
        const T x = get<T>(a, j);
        put(a, j, simd::select(scale, (x - mu) / divisor, x));
    }
}

double median_of(DoubleRun row, std::vector<double>& scratch) {
    const std::int64_t n = row.size;
    scratch.resize(static_cast<std::size_t>(n));
    for (std::int64_t j = 0; j < n; ++j) scratch[static_cast<std::size_t>(j)] = row[j];
    return numeric::stable_median_in_place(scratch);
}

// Groups begin..end-1: blocks of kLanes groups in vector lanes, the rest one
// by one.
QRL_VECTOR_KERNEL
void groups_range(const numeric::DoubleMatrix& rewards, Baseline baseline, bool normalize, double* out,
                  std::int64_t begin, std::int64_t end) {
    const std::int64_t n = rewards.columns;
    if (n == 0) return;
    std::vector<double> scratch;
    std::int64_t i = begin;
    if (end - begin >= kLanes) {
        // Element j of lane l at lanes[j * kLanes + l].
        std::vector<double> lanes(static_cast<std::size_t>(n * kLanes));
        for (; i + kLanes <= end; i += kLanes) {
            Doubles median = simd::splat<Doubles>(0.0);
            for (int lane = 0; lane < kLanes; ++lane) {
                const DoubleRun row = rewards.row(i + lane);
                for (std::int64_t j = 0; j < n; ++j) lanes[static_cast<std::size_t>(j * kLanes + lane)] = row[j];
                if (baseline == Baseline::Median) median[lane] = median_of(row, scratch);
            }
            advantages_in_place<Doubles>(lanes.data(), n, baseline, median, normalize);
            for (int lane = 0; lane < kLanes; ++lane) {
                double* a = out + (i + lane) * n;
                for (std::int64_t j = 0; j < n; ++j) a[j] = lanes[static_cast<std::size_t>(j * kLanes + lane)];
            }
        }
    }
    for (; i < end; ++i) {
        const DoubleRun row = rewards.row(i);
        double* a = out + i * n;
        for (std::int64_t j = 0; j < n; ++j) a[j] = row[j];
        const double median = baseline == Baseline::Median ? median_of(row, scratch) : 0.0;
        advantages_in_place<double>(a, n, baseline, median, normalize);
    }
}

}  // namespace

Baseline baseline_from_name(std::string_view name) {
    if (name == "median") return Baseline::Median;
    if (name == "min") return Baseline::Min;
    return Baseline::Mean;
}

void group_advantages(const numeric::DoubleMatrix& rewards, Baseline baseline, bool normalize, double* out) {
    const double n = static_cast<double>(rewards.columns);
    const double ns_per_group = (baseline == Baseline::Median ? 12.0 : 3.0) * n + 20.0;
    parallel::parallel_map(rewards.rows, ns_per_group, [&](std::int64_t begin, std::int64_t end) {
        groups_range(rewards, baseline, normalize, out, begin, end);
    });
}

}  // namespace qrl::advantage
