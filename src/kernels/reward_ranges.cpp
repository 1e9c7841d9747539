// The element-wise reward kernels, compiled once per instruction set.
#include <cmath>
#include <cstring>

#include "kernels/vector_ranges.h"
#include "numeric/simd.h"

namespace qrl::kernels::QRL_TARGET {

namespace simd = numeric::simd;

void standardize(DoubleRun rewards, double mean, double scale, double* out) {
    const simd::Constant m(mean), s(scale);
    simd::map(
        out, 0, rewards.size,
        [&](auto x) QRL_LAMBDA_INLINE {
            using T = decltype(x);
            return (x - m.as<T>()) / s.as<T>();
        },
        rewards.data);
}

void clamp(DoubleRun rewards, double lo_value, double hi_value, double* out) {
    const simd::Constant lo(lo_value), hi(hi_value);
    simd::map(
        out, 0, rewards.size,
        [&](auto x) QRL_LAMBDA_INLINE {
            using T = decltype(x);
            // Both tests are false for NaN, which stays NaN.
            x = simd::select(x < lo.as<T>(), lo.as<T>(), x);
            return simd::select(x > hi.as<T>(), hi.as<T>(), x);
        },
        rewards.data);
}

// Smallest and largest value by minNum and maxNum.  Both are the same
// whatever the order of reduction (NaN ignored, -0.0 below +0.0), so lanes
// reduce separately and are folded at the end.
void min_max(const double* values, std::int64_t n, double* smallest, double* largest) {
    const char* data = reinterpret_cast<const char*>(values);
    simd::Doubles lo = simd::splat<simd::Doubles>(INFINITY), hi = simd::splat<simd::Doubles>(-INFINITY);
    std::int64_t i = 0;
    for (; i + simd::kLanes <= n; i += simd::kLanes) {
        const simd::Doubles x = simd::load(data, i);
        lo = simd::min_num(lo, x);
        hi = simd::max_num(hi, x);
    }
    // The tail as one more vector, padded with NaN (ignored by both): a
    // scalar tail loop is vectorised by clang into a lane-by-lane compare.
    if (i < n) {
        simd::Doubles x = simd::splat<simd::Doubles>(NAN);
        std::memcpy(&x, values + i, static_cast<std::size_t>(n - i) * sizeof(double));
        lo = simd::min_num(lo, x);
        hi = simd::max_num(hi, x);
    }
    double lo_all = INFINITY, hi_all = -INFINITY;
    for (int lane = 0; lane < simd::kLanes; ++lane) {
        lo_all = numeric::min_num(lo_all, lo[lane]);
        hi_all = numeric::max_num(hi_all, hi[lane]);
    }
    *smallest = lo_all;
    *largest = hi_all;
}

}  // namespace qrl::kernels::QRL_TARGET
