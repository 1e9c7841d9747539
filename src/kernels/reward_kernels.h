// Reward processing on the calling thread: running normalisation, clamping,
// batch statistics.
#pragma once

#include <cstdint>
#include <span>

#include "numeric/runs.h"

namespace qrl::kernels {

using numeric::DoubleRun;

struct RunningStatistics {
    double mean;
    double variance;  // population variance
    std::int64_t count;
};

// Folds `rewards` (unit stride) into the running statistics by Welford's
// method and writes every reward standardised with the updated statistics.
// The caller guarantees that count + rewards.size fits in 64 bits.
RunningStatistics normalize_rewards(DoubleRun rewards, RunningStatistics in, double epsilon, double* out);

// Clamps each reward (unit stride) into [lower, upper]; fails when
// the bounds cross or either is NaN and there is at least one reward.
void clip_rewards(DoubleRun rewards, double lower, double upper, double* out);

struct RewardStatistics {
    double mean, std, min, max, median;
};

// Statistics of n >= 1 values; fails on a NaN among two or more values.
// The values are the caller's own copy: the median reorders them.
RewardStatistics reward_statistics(std::span<double> values);

}  // namespace qrl::kernels
