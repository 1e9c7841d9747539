// Batch GAE in vector lanes, compiled once per instruction set.
#include <algorithm>

#include "kernels/vector_ranges.h"
#include "numeric/simd.h"

namespace qrl::kernels::QRL_TARGET {

namespace simd = numeric::simd;
using simd::Doubles;
using simd::kLanes;

// kLanes trajectories of equal length side by side, one per vector lane.
// Each lane runs exactly the recurrence of `gae` (a value estimate missing
// from a short value array is the same 0.0 here), so a trajectory's result
// does not depend on the path it took; the lanes only hide the latency of
// the multiply-add chain.
void gae_side_by_side(const Trajectory* trajectories, double gamma, double lambda, double* buffer) {
    const std::int64_t n = trajectories[0].rewards.size;
    double* rewards = buffer;               // step t of lane l at t * kLanes + l
    double* values = rewards + n * kLanes;  // n + 1 value estimates per lane
    for (int lane = 0; lane < kLanes; ++lane) {
        const Trajectory& t = trajectories[lane];
        for (std::int64_t step = 0; step < n; ++step) rewards[step * kLanes + lane] = t.rewards[step];
        const std::int64_t known = std::min(t.values.size, n + 1);
        for (std::int64_t step = 0; step < known; ++step) values[step * kLanes + lane] = t.values[step];
        for (std::int64_t step = known; step <= n; ++step) values[step * kLanes + lane] = 0.0;
    }
    const simd::Constant discount(gamma), decay(gamma * lambda);
    Doubles advantage = simd::splat<Doubles>(0.0);
    for (std::int64_t step = n - 1; step >= 0; --step) {
        const Doubles next = simd::get<Doubles>(values, step + 1);
        const Doubles current = simd::get<Doubles>(values, step);
        const Doubles delta = (discount.vector * next + simd::get<Doubles>(rewards, step)) - current;
        advantage = decay.vector * advantage + delta;
        for (int lane = 0; lane < kLanes; ++lane) trajectories[lane].out[step] = advantage[lane];
    }
}

}  // namespace qrl::kernels::QRL_TARGET
