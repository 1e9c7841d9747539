#include "kernels/gae.h"

#include <algorithm>
#include <vector>

#include "kernels/costs.h"
#include "kernels/vector_kernels.h"
#include "parallel/parallel_map.h"

namespace qrl::kernels {
namespace {

bool same_length(const Trajectory* trajectories, std::int64_t lanes) {
    for (std::int64_t lane = 1; lane < lanes; ++lane)
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
    const VectorKernels& vector = vector_kernels();
    const std::int64_t lanes = vector.lanes;
    parallel::parallel_map_blocks(count, lanes, ns_per_item, [&](std::int64_t begin, std::int64_t end) {
        std::vector<double> buffer;
        std::int64_t i = begin;
        while (i < end) {
            const Trajectory* block = trajectories.data() + i;
            if (i + lanes <= end && block[0].rewards.size > 0 && same_length(block, lanes)) {
                buffer.resize(
                    static_cast<std::size_t>((2 * std::min(block[0].rewards.size, kGaeBlockSteps) + 1) * lanes));
                vector.gae_side_by_side(block, gamma, lambda, buffer.data());
                i += lanes;
            } else {
                gae(block->rewards, block->values, gamma, lambda, block->out);
                ++i;
            }
        }
    });
}

}  // namespace qrl::kernels
