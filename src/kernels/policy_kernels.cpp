#include "kernels/policy_kernels.h"

#include <cmath>

#include "failure/internal_failure.h"
#include "kernels/costs.h"
#include "kernels/vector_kernels.h"
#include "parallel/parallel_map.h"

namespace qrl::kernels {

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
    const auto range = vector_kernels().gspo_clipping_range;
    parallel::parallel_map(n, costs::kElementwiseNs, [=](std::int64_t begin, std::int64_t end) {
        range(ratios, advantages, lower, upper, out, begin, end);
    });
}

void ppo_surrogate(DoubleRun ratios, DoubleRun advantages, std::int64_t n, double clip_epsilon, double* out) {
    const double lower = 1.0 - clip_epsilon;
    const double upper = clip_epsilon + 1.0;
    const auto range = vector_kernels().ppo_surrogate_range;
    parallel::parallel_map(n, costs::kElementwiseNs, [=](std::int64_t begin, std::int64_t end) {
        // Every item checks the same bounds, so a piece fails at its first item.
        if (!(lower <= upper)) fail_clamp_bounds(lower, upper);
        range(ratios, advantages, lower, upper, out, begin, end);
    });
}

}  // namespace qrl::kernels
