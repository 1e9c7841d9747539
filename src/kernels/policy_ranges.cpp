// The element-wise policy terms, compiled once per instruction set.
#include "kernels/vector_ranges.h"
#include "numeric/simd.h"

namespace qrl::kernels::QRL_TARGET {

namespace simd = numeric::simd;

void gspo_clipping_range(DoubleRun ratios, DoubleRun advantages, double lower, double upper, double* out,
                         std::int64_t begin, std::int64_t end) {
    const simd::Constant zero(0.0), upper_bound(upper), lower_bound(lower);
    // With bounds that are neither NaN nor zero, minNum and maxNum against
    // them reduce to a plain comparison (a NaN ratio yields the bound).
    const bool plain_bounds = upper == upper && upper != 0.0 && lower == lower && lower != 0.0;
    if (plain_bounds) {
        simd::map(
            out, begin, end,
            [&](auto r, auto a) QRL_LAMBDA_INLINE {
                using T = decltype(r);
                const T u = upper_bound.as<T>(), l = lower_bound.as<T>();
                const T clipped = simd::select(a >= zero.as<T>(), simd::select(r < u, r, u), simd::select(r > l, r, l));
                return simd::min_num(r * a, a * clipped);
            },
            ratios.data, advantages.data);
        return;
    }
    simd::map(
        out, begin, end,
        [&](auto r, auto a) QRL_LAMBDA_INLINE {
            using T = decltype(r);
            const T clipped = simd::select(a >= zero.as<T>(), simd::min_num(r, upper_bound.as<T>()),
                                           simd::max_num(r, lower_bound.as<T>()));
            return simd::min_num(r * a, a * clipped);
        },
        ratios.data, advantages.data);
}

void ppo_surrogate_range(DoubleRun ratios, DoubleRun advantages, double lo, double hi, double* out, std::int64_t begin,
                         std::int64_t end) {
    const simd::Constant low(lo), high(hi);
    simd::map(
        out, begin, end,
        [&](auto r, auto a) QRL_LAMBDA_INLINE {
            using T = decltype(r);
            // A NaN ratio passes both tests unchanged.
            T c = simd::select(r < low.as<T>(), low.as<T>(), r);
            c = simd::select(c > high.as<T>(), high.as<T>(), c);
            return simd::min_num(a * r, a * c);
        },
        ratios.data, advantages.data);
}

}  // namespace qrl::kernels::QRL_TARGET
