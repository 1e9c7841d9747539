#include "kernels/padded_gae.h"

#include <utility>

#include "kernels/costs.h"
#include "kernels/vector_kernels.h"
#include "parallel/parallel_map.h"

namespace qrl::kernels {

bool mask_mode_from_name(std::string_view name, MaskMode* mode) {
    static constexpr std::pair<std::string_view, MaskMode> kModes[] = {
        {"cut", MaskMode::Cut}, {"skip", MaskMode::Skip}, {"carry", MaskMode::Carry}, {"zero", MaskMode::Zero}};
    for (const auto& [known, value] : kModes)
        if (name == known) {
            *mode = value;
            return true;
        }
    return false;
}

void padded_gae(const PaddedBatch& batch, double gamma, double lambda, const numeric::OutputMatrix& advantages,
                const numeric::OutputMatrix& returns, const BlockSums* sums) {
    const std::int64_t n = batch.rewards.columns;
    // An empty batch has nothing to compute, however many rows it has; the
    // pool is still looked up.
    if (batch.rewards.rows == 0 || n == 0) {
        parallel::parallel_map(0, 0.0, [](std::int64_t, std::int64_t) {});
        return;
    }
    const auto rows = vector_kernels().padded_gae_rows;
    const double decay = gamma * lambda;
    const double ns_per_row = costs::kGaeStepNs * static_cast<double>(n) + costs::kPerTrajectoryNs;
    parallel::parallel_map_blocks(batch.rewards.rows, kPaddedGaeRows, ns_per_row,
                                  [&](std::int64_t begin, std::int64_t end) {
                                      rows(batch, gamma, decay, advantages, returns, sums, begin, end);
                                  });
}

}  // namespace qrl::kernels
