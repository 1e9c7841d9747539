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
    const simd::Constant discount(gamma), decay(gamma * lambda);
    Doubles advantage = simd::splat<Doubles>(0.0);
    // Backward over blocks of at most kGaeBlockSteps steps, so the buffer
    // stays small whatever the length; the advantage carries across blocks.
    for (std::int64_t hi = n; hi > 0;) {
        const std::int64_t lo = std::max<std::int64_t>(0, hi - kGaeBlockSteps), steps = hi - lo;
        double* rewards = buffer;                   // step lo + s of lane l at s * kLanes + l
        double* values = rewards + steps * kLanes;  // steps + 1 value estimates per lane
        for (int lane = 0; lane < kLanes; ++lane) {
            const Trajectory& t = trajectories[lane];
            for (std::int64_t s = 0; s < steps; ++s) rewards[s * kLanes + lane] = t.rewards[lo + s];
            const std::int64_t known = std::clamp<std::int64_t>(std::min(t.values.size, n + 1) - lo, 0, steps + 1);
            for (std::int64_t s = 0; s < known; ++s) values[s * kLanes + lane] = t.values[lo + s];
            for (std::int64_t s = known; s <= steps; ++s) values[s * kLanes + lane] = 0.0;
        }
        for (std::int64_t s = steps - 1; s >= 0; --s) {
            const Doubles next = simd::get<Doubles>(values, s + 1);
            const Doubles current = simd::get<Doubles>(values, s);
            const Doubles delta = (discount.vector * next + simd::get<Doubles>(rewards, s)) - current;
            advantage = decay.vector * advantage + delta;
            for (int lane = 0; lane < kLanes; ++lane) trajectories[lane].out[lo + s] = advantage[lane];
        }
        hi = lo;
    }
}

}  // namespace qrl::kernels::QRL_TARGET
