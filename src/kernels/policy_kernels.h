// Policy-objective terms, element by element on the worker pool.  Every run
// has unit stride; n is the number of elements to compute (the caller takes
// the shortest input).
#pragma once

#include <cstdint>

#include "numeric/runs.h"

namespace qrl::kernels {

using numeric::DoubleRun;
using numeric::Int64Run;

// exp((new - old) / length), and exactly 1.0 where length < 1.
void gspo_importance_ratios(DoubleRun log_probs_new, DoubleRun log_probs_old, Int64Run lengths, std::int64_t n,
                            double* out);

// GSPO's one-sided clipped objective: the upper bound 1 + clip_right binds
// for non-negative advantages, the lower bound 1 - clip_left for the others.
void gspo_clipping(DoubleRun ratios, DoubleRun advantages, std::int64_t n, double clip_left, double clip_right,
                   double* out);

// PPO's clipped surrogate min(A r, A clamp(r, 1 - eps, 1 + eps)); every item
// fails when the bounds cross or are NaN.
void ppo_surrogate(DoubleRun ratios, DoubleRun advantages, std::int64_t n, double clip_epsilon, double* out);

}  // namespace qrl::kernels
