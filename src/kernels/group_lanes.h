// Group statistics written once for T = double (one group) and for
// T = Doubles (kLanes groups side by side, one per lane), shared by the
// group-advantage kernels that are compiled once per instruction set.  Every
// lane runs exactly the scalar sequence of operations, so a group's result
// does not depend on the path it took; the lanes only hide the latency of
// the sequential sums.
#pragma once

#include <cmath>
#include <cstdint>

#include "kernels/group_advantages.h"
#include "numeric/median.h"
#include "numeric/runs.h"
#include "numeric/simd.h"

namespace qrl::kernels::QRL_TARGET {
namespace group_lanes {

namespace simd = numeric::simd;
using simd::Doubles;
using simd::get;
using simd::kLanes;
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

// Standardises the n advantages in a (sums in index order from -0.0, the
// variance over n - ddof); at or below the floor (or NaN) they stay neither
// centred nor scaled.  Groups of fewer than two are left as they are.
template <class T>
QRL_VECTOR_INLINE void standardise_in_place(double* a, std::int64_t n, const Standardisation& statistics) {
    if (n < 2) return;
    const T count = simd::splat<T>(static_cast<double>(n));
    const T mu = sum_in_index_order<T>(a, n) / count;
    T squares = simd::splat<T>(-0.0);
    for (std::int64_t j = 0; j < n; ++j) {
        const T d = get<T>(a, j) - mu;
        squares = squares + d * d;
    }
    const T sigma = sqrt_each(squares / simd::splat<T>(static_cast<double>(n - statistics.ddof)));
    const auto scale = sigma > simd::splat<T>(statistics.floor);
    const T divisor = sigma + simd::splat<T>(statistics.epsilon);
    for (std::int64_t j = 0; j < n; ++j) {
        const T x = get<T>(a, j);
        put(a, j, simd::select(scale, (x - mu) / divisor, x));
    }
}

// The stable median of a group's values; `scratch` holds values.size doubles.
template <class Values>
inline double median_of(const Values& values, double* scratch) {
    for (std::int64_t j = 0; j < values.size; ++j) scratch[j] = values[j];
    return numeric::stable_median_in_place({scratch, static_cast<std::size_t>(values.size)});
}

}  // namespace group_lanes
}  // namespace qrl::kernels::QRL_TARGET
