#include "lib/kernels/policy_kernels.h"

#include <cmath>

#include "lib/failure/internal_failure.h"
#include "numeric/float_ops.h"
#include "parallel/parallel_map.h"

namespace qrl::kernels {

using numeric::max_num;
using numeric::min_num;

void gspo_importance_ratios(DoubleRun log_probs_new, DoubleRun log_probs_old, Int64Run lengths, std::int64_t n,
                            double* out) {
    parallel::parallel_map(n, 8.0, [&](std::int64_t begin, std::int64_t end) {
        for (std::int64_t i = begin; i < end; ++i) {
            const std::int64_t length = lengths[i];
            if (length < 1) {
                out[i] = 1.0;
                continue;
            }
            const double d = log_probs_new[i] - log_probs_old[i];
            out[i] = std::exp(d / static_cast<double>(length));
        }
    });
}

void gspo_clipping(DoubleRun ratios, DoubleRun advantages, std::int64_t n, double clip_left, double clip_right,
                   double* out) {
    const double upper = clip_right + 1.0;
    const double lower = 1.0 - clip_left;
    parallel::parallel_map(n, 1.5, [&](std::int64_t begin, std::int64_t end) {
        for (std::int64_t i = begin; i < end; ++i) {
            const double r = ratios[i];
            const double a = advantages[i];
            const double clipped = (a >= 0.0) ? min_num(r, upper) : max_num(r, lower);
            out[i] = min_num(r * a, a * clipped);
        }
    });
}

void ppo_surrogate(DoubleRun ratios, DoubleRun advantages, std::int64_t n, double clip_epsilon, double* out) {
    const double lo = 1.0 - clip_epsilon;
    const double hi = clip_epsilon + 1.0;
    parallel::parallel_map(n, 1.5, [&](std::int64_t begin, std::int64_t end) {
        // Every item checks the same bounds, so a piece fails at its first item.
        if (!(lo <= hi)) fail_clamp_bounds(lo, hi);
        for (std::int64_t i = begin; i < end; ++i) {
            const double r = ratios[i];
            const double a = advantages[i];
            double c = r;
            c = (c < lo) ? lo : c;
            c = (c > hi) ? hi : c;
            out[i] = min_num(a * r, a * c);
        }
    });
}

}  // namespace qrl::kernels
