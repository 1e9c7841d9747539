#include "kernels/reward_kernels.h"

#include <cmath>
#include <vector>

#include "failure/internal_failure.h"
#include "failure/messages.h"
#include "kernels/vector_kernels.h"
#include "numeric/float_ops.h"
#include "numeric/median.h"

namespace qrl::kernels {

RunningStatistics normalize_rewards(DoubleRun rewards, RunningStatistics in, double epsilon, double* out) {
    const std::int64_t n = rewards.size;
    if (n == 0) return in;
    // M2 is rebuilt from the variance each call; the fold is sequential.
    double m2 = in.variance * static_cast<double>(in.count);
    double mean = in.mean;
    std::int64_t k = in.count + 1;
    for (std::int64_t i = 0; i < n; ++i) {
        const double x = rewards[i];
        const double d = x - mean;
        mean = mean + d / static_cast<double>(k);
        m2 = m2 + d * (x - mean);
        ++k;
    }
    const std::int64_t count = in.count + n;
    const double variance = count >= 2 ? m2 / static_cast<double>(count) : 0.0;
    const double scale = std::sqrt(epsilon + variance);
    vector_kernels().standardize(rewards, mean, scale, out);
    return {mean, variance, count};
}

void clip_rewards(DoubleRun rewards, double lower, double upper, double* out) {
    const std::int64_t n = rewards.size;
    if (n == 0) return;
    if (!(lower <= upper)) fail_clamp_bounds(lower, upper);
    vector_kernels().clamp(rewards, lower, upper, out);
}

RewardStatistics reward_statistics(std::span<double> values) {
    const std::size_t n = values.size();
    const double count = static_cast<double>(n);
    double sum = -0.0;
    for (double x : values) sum = sum + x;
    const double mean = sum / count;
    double squares = -0.0;
    for (double x : values) {
        const double d = x - mean;
        squares = squares + d * d;
    }
    double smallest, largest;
    vector_kernels().min_max(values.data(), static_cast<std::int64_t>(n), &smallest, &largest);
    // The sort's comparison has no answer for NaN, and with two or more
    // values every element takes part in a comparison.
    if (n >= 2 && numeric::contains_nan(values)) fail(messages::kNanInSort);
    const double median = numeric::stable_median_in_place(values);
    return {mean, std::sqrt(squares / count), smallest, largest, median};
}

}  // namespace qrl::kernels
