#include "kernels/reward_kernels.h"
#include "failure/messages.h"

#include <cmath>
#include <vector>

#include "failure/internal_failure.h"
#include "numeric/float_ops.h"
#include "numeric/median.h"
#include "numeric/simd.h"

namespace qrl::kernels {

namespace {

namespace simd = numeric::simd;

QRL_VECTOR_KERNEL
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

QRL_VECTOR_KERNEL
void clamp(DoubleRun rewards, double lower, double upper, double* out) {
    const simd::Constant lower_bound(lower), upper_bound(upper);
    simd::map(
        out, 0, rewards.size,
        [&](auto x) QRL_LAMBDA_INLINE {
            using T = decltype(x);
            // Both tests are false for NaN, which stays NaN.
            x = simd::select(x < lower_bound.as<T>(), lower_bound.as<T>(), x);
            return simd::select(x > upper_bound.as<T>(), upper_bound.as<T>(), x);
        },
        rewards.data);
}

// Smallest and largest value by minNum and maxNum.  Both are the same
// whatever the order of reduction (NaN ignored, -0.0 below +0.0), so lanes
// reduce separately and are folded at the end.
QRL_VECTOR_KERNEL
void min_max(std::span<const double> values, double* smallest, double* largest) {
    const auto n = static_cast<std::int64_t>(values.size());
    const char* data = reinterpret_cast<const char*>(values.data());
    simd::Doubles min_lanes = simd::splat<simd::Doubles>(INFINITY), max_lanes = simd::splat<simd::Doubles>(-INFINITY);
    std::int64_t i = 0;
    for (; i + simd::kLanes <= n; i += simd::kLanes) {
        const simd::Doubles x = simd::load(data, i);
        min_lanes = simd::min_num(min_lanes, x);
        max_lanes = simd::max_num(max_lanes, x);
    }
    double smallest_value = INFINITY, largest_value = -INFINITY;
    for (int lane = 0; lane < simd::kLanes; ++lane) {
        smallest_value = numeric::min_num(smallest_value, min_lanes[lane]);
        largest_value = numeric::max_num(largest_value, max_lanes[lane]);
    }
    for (; i < n; ++i) {
        smallest_value = numeric::min_num(smallest_value, values[static_cast<std::size_t>(i)]);
        largest_value = numeric::max_num(largest_value, values[static_cast<std::size_t>(i)]);
    }
    *smallest = smallest_value;
    *largest = largest_value;
}

}  // namespace

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
    standardize(rewards, mean, scale, out);
    return {mean, variance, count};
}

void clip_rewards(DoubleRun rewards, double lower, double upper, double* out) {
    const std::int64_t n = rewards.size;
    if (n == 0) return;
    if (!(lower <= upper)) fail_clamp_bounds(lower, upper);
    clamp(rewards, lower, upper, out);
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
    min_max(values, &smallest, &largest);
    // The sort's comparison has no answer for NaN, and with two or more
    // values every element takes part in a comparison.
    if (n >= 2 && numeric::contains_nan(values)) fail(messages::kNanInSort);
    const double median = numeric::stable_median_in_place(values);
    return {mean, std::sqrt(squares / count), smallest, largest, median};
}

}  // namespace qrl::kernels
