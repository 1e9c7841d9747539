#include "kernels/group_advantages.h"

#include "kernels/costs.h"
#include "kernels/vector_kernels.h"
#include "parallel/parallel_map.h"

namespace qrl::kernels {

Baseline baseline_from_name(std::string_view name) {
    if (name == "median") return Baseline::Median;
    if (name == "min") return Baseline::Min;
    return Baseline::Mean;
}

void group_advantages(const numeric::DoubleMatrix& rewards, Baseline baseline, bool normalize, double* out) {
    const double n = static_cast<double>(rewards.columns);
    const double ns_per_member = baseline == Baseline::Median ? costs::kMedianMemberNs : costs::kMemberNs;
    const double ns_per_group = ns_per_member * n + costs::kPerGroupNs;
    const VectorKernels& vector = vector_kernels();
    parallel::parallel_map_blocks(rewards.rows, vector.lanes, ns_per_group, [&](std::int64_t begin, std::int64_t end) {
        vector.groups_range(rewards, baseline, normalize, out, begin, end);
    });
}

}  // namespace qrl::kernels
