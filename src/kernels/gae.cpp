#include "kernels/gae.h"

#include <algorithm>
#include <vector>

#include "kernels/costs.h"
#include "numeric/simd.h"
#include "parallel/parallel_map.h"

namespace qrl::kernels {
namespace {

namespace simd = numeric::simd;
using simd::Doubles;
using simd::kLanes;

// kLanes trajectories of equal length side by side, one per vector lane.
// Each lane runs exactly the recurrence of `gae` (a value estimate missing
// from a short value array is the same 0.0 here), so a trajectory's result
// does not depend on the path it took; the lanes only hide the latency of
// the multiply-add chain.
QRL_VECTOR_KERNEL
void gae_side_by_side(const Trajectory* trajectories, double gamma, double lambda, std::vector<double>& buffer) {
    const std::int64_t n = trajectories[0].rewards.size;
    buffer.assign(static_cast<std::size_t>((2 * n + 1) * kLanes), 0.0);
    double* rewards = buffer.data();        // step t of lane l at t * kLanes + l
    double* values = rewards + n * kLanes;  // n + 1 value estimates per lane
    for (int lane = 0; lane < kLanes; ++lane) {
        const Trajectory& t = trajectories[lane];
        for (std::int64_t step = 0; step < n; ++step) rewards[step * kLanes + lane] = t.rewards[step];
        const std::int64_t known = std::min(t.values.size, n + 1);
        for (std::int64_t step = 0; step < known; ++step) values[step * kLanes + lane] = t.values[step];
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

bool same_length(const Trajectory* trajectories) {
    for (int lane = 1; lane < kLanes; ++lane)
        if (trajectories[lane].rewards.size != trajectories[0].rewards.size) return false;
    return true;
}

}  // namespace

void batch_gae(std::span<const Trajectory> trajectories, double gamma, double lambda) {
    std::int64_t steps = 0;
    for (const Trajectory& t : trajectories) steps += t.rewards.size;
    const auto count = static_cast<std::int64_t>(trajectories.size());
    const double ns_per_item = count > 0 ? costs::kGaeStepNs * static_cast<double>(steps) / static_cast<double>(count) +
                                               costs::kPerTrajectoryNs
                                         : 0.0;
    parallel::parallel_map_blocks(count, kLanes, ns_per_item, [&](std::int64_t begin, std::int64_t end) {
        std::vector<double> buffer;
        std::int64_t i = begin;
        while (i < end) {
            const Trajectory* block = trajectories.data() + i;
            if (i + kLanes <= end && block[0].rewards.size > 0 && same_length(block)) {
                gae_side_by_side(block, gamma, lambda, buffer);
                i += kLanes;
            } else {
                gae(block->rewards, block->values, gamma, lambda, block->out);
                ++i;
            }
        }
    });
}

}  // namespace qrl::kernels
