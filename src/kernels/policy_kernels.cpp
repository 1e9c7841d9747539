#include "kernels/policy_kernels.h"

#include <cmath>

#include "failure/internal_failure.h"
#include "kernels/costs.h"
#include "numeric/simd.h"
#include "parallel/parallel_map.h"

namespace qrl::kernels {
namespace {

namespace simd = numeric::simd;

QRL_VECTOR_KERNEL
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

QRL_VECTOR_KERNEL
void ppo_surrogate_range(DoubleRun ratios, DoubleRun advantages, double lower, double upper, double* out,
                         std::int64_t begin, std::int64_t end) {
    const simd::Constant lower_bound(lower), upper_bound(upper);
    simd::map(
        out, begin, end,
        [&](auto r, auto a) QRL_LAMBDA_INLINE {
            using T = decltype(r);
            // A NaN ratio passes both tests unchanged.
            T c = simd::select(r < lower_bound.as<T>(), lower_bound.as<T>(), r);
            c = simd::select(c > upper_bound.as<T>(), upper_bound.as<T>(), c);
            return simd::min_num(a * r, a * c);
        },
        ratios.data, advantages.data);
}

}  // namespace

void gspo_importance_ratios(DoubleRun log_probs_new, DoubleRun log_probs_old, Int64Run lengths, std::int64_t n,
                            double* out) {
    parallel::parallel_map(n, costs::kGspoRatioNs, [&](std::int64_t begin, std::int64_t end) {
        for (std::int64_t i = begin; i < end; ++i) {
            const std::int64_t length = lengths.unit(i);
            if (length < 1) {
                out[i] = 1.0;  // the log-probabilities are not used
                continue;
            }
            const double d = log_probs_new.unit(i) - log_probs_old.unit(i);
            out[i] = std::exp(d / static_cast<double>(length));
        }
    });
}

void gspo_clipping(DoubleRun ratios, DoubleRun advantages, std::int64_t n, double clip_left, double clip_right,
                   double* out) {
    const double upper = clip_right + 1.0;
    const double lower = 1.0 - clip_left;
    parallel::parallel_map(n, costs::kElementwiseNs, [=](std::int64_t begin, std::int64_t end) {
        gspo_clipping_range(ratios, advantages, lower, upper, out, begin, end);
    });
}

void ppo_surrogate(DoubleRun ratios, DoubleRun advantages, std::int64_t n, double clip_epsilon, double* out) {
    const double lower = 1.0 - clip_epsilon;
    const double upper = clip_epsilon + 1.0;
    parallel::parallel_map(n, costs::kElementwiseNs, [=](std::int64_t begin, std::int64_t end) {
        // Every item checks the same bounds, so a piece fails at its first item.
        if (!(lower <= upper)) fail_clamp_bounds(lower, upper);
        ppo_surrogate_range(ratios, advantages, lower, upper, out, begin, end);
    });
}

}  // namespace qrl::kernels
