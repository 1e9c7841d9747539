#include "kernels/group_baselines.h"

#include <cmath>
#include <vector>

#include "kernels/costs.h"
#include "kernels/vector_kernels.h"
#include "parallel/parallel_map.h"

namespace qrl::kernels {
namespace {

// Standardisation threshold and addend alike.
constexpr double kStdFloor = 1e-8;

// The whole batch as one group: mean and population standard deviation of
// all n advantages, each a single running total in index order (group by
// group, member by member), so the statistics never depend on the thread
// count; then the element-wise standardisation on the pool.
void standardise_batch(double* a, std::int64_t n) {
    if (n < 2) return;
    double sum = -0.0;
    for (std::int64_t j = 0; j < n; ++j) sum = sum + a[j];
    const double mu = sum / static_cast<double>(n);
    double squares = -0.0;
    for (std::int64_t j = 0; j < n; ++j) {
        const double d = a[j] - mu;
        squares = squares + d * d;
    }
    const double sigma = std::sqrt(squares / static_cast<double>(n));
    if (!(sigma > kStdFloor)) return;
    const double divisor = sigma + kStdFloor;
    parallel::parallel_map(n, 0.5, [&](std::int64_t begin, std::int64_t end) {
        for (std::int64_t j = begin; j < end; ++j) a[j] = (a[j] - mu) / divisor;
    });
}

double ns_per_group(GroupBaseline baseline, double size) {
    return (baseline == GroupBaseline::Median ? costs::kMedianMemberNs : costs::kMemberNs) * size + costs::kPerGroupNs;
}

}  // namespace

bool group_baseline_from_name(std::string_view name, GroupBaseline* baseline) {
    if (name == "mean")
        *baseline = GroupBaseline::Mean;
    else if (name == "median")
        *baseline = GroupBaseline::Median;
    else if (name == "min")
        *baseline = GroupBaseline::Min;
    else if (name == "leave_one_out")
        *baseline = GroupBaseline::LeaveOneOut;
    else
        return false;
    return true;
}

bool group_scale_from_name(std::string_view name, GroupScale* scale) {
    if (name == "group")
        *scale = GroupScale::Group;
    else if (name == "batch")
        *scale = GroupScale::Batch;
    else if (name == "none")
        *scale = GroupScale::None;
    else
        return false;
    return true;
}

void matrix_group_advantages(const numeric::DoubleMatrix& rewards, GroupBaseline baseline, GroupScale scale,
                             double* out) {
    if (rewards.columns == 0) {  // groups without members: nothing to compute, however many
        parallel::parallel_map(0, 0.0, [](std::int64_t, std::int64_t) {});
        return;
    }
    const bool per_group = scale == GroupScale::Group;
    const double cost = ns_per_group(baseline, static_cast<double>(rewards.columns));
    const VectorKernels& vector = vector_kernels();
    parallel::parallel_map_blocks(rewards.rows, vector.lanes, cost, [&](std::int64_t begin, std::int64_t end) {
        vector.baseline_matrix_range(rewards, baseline, per_group, out, begin, end);
    });
    if (scale == GroupScale::Batch) standardise_batch(out, rewards.rows * rewards.columns);
}

void ragged_group_advantages(DoubleRun rewards, std::span<const std::int64_t> lengths, GroupBaseline baseline,
                             GroupScale scale, double* out) {
    const auto groups = static_cast<std::int64_t>(lengths.size());
    std::vector<std::int64_t> offsets(lengths.size());
    std::int64_t offset = 0;
    for (std::size_t g = 0; g < lengths.size(); ++g) {
        offsets[g] = offset;
        offset += lengths[g];
    }
    const bool per_group = scale == GroupScale::Group;
    const double cost = ns_per_group(baseline, groups > 0 ? static_cast<double>(rewards.size) / groups : 0.0);
    const VectorKernels& vector = vector_kernels();
    parallel::parallel_map_blocks(groups, vector.lanes, cost, [&](std::int64_t begin, std::int64_t end) {
        vector.baseline_ragged_range(rewards, lengths.data(), offsets.data(), baseline, per_group, out, begin, end);
    });
    if (scale == GroupScale::Batch) standardise_batch(out, rewards.size);
}

}  // namespace qrl::kernels
