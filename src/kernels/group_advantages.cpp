#include "kernels/group_advantages.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <span>
#include <utility>
#include <vector>

#include "kernels/costs.h"
#include "kernels/vector_kernels.h"
#include "parallel/parallel_map.h"

namespace qrl::kernels {
namespace {

// The whole batch as one group: mean and standard deviation of all n
// advantages, each a single running total in index order, so the
// statistics never depend on the thread count; then the element-wise
// standardisation on the pool.
void standardise_batch(double* a, std::int64_t n, const Standardisation& statistics) {
    if (n < 2) return;
    double sum = -0.0;
    for (std::int64_t j = 0; j < n; ++j) sum = sum + a[j];
    const double mu = sum / static_cast<double>(n);
    double squares = -0.0;
    for (std::int64_t j = 0; j < n; ++j) {
        const double d = a[j] - mu;
        squares = squares + d * d;
    }
    const double sigma = std::sqrt(squares / static_cast<double>(n - statistics.ddof));
    if (!(sigma > statistics.floor)) return;
    const double divisor = sigma + statistics.epsilon;
    parallel::parallel_map(n, costs::kStandardiseElementNs, [&](std::int64_t begin, std::int64_t end) {
        for (std::int64_t j = begin; j < end; ++j) a[j] = (a[j] - mu) / divisor;
    });
}

double ns_per_group(GroupBaseline baseline, double size) {
    return (baseline == GroupBaseline::Median ? costs::kMedianMemberNs : costs::kMemberNs) * size + costs::kPerGroupNs;
}

const Standardisation* per_group(GroupScale scale, const Standardisation& statistics) {
    return scale == GroupScale::Group ? &statistics : nullptr;
}

// The members sorted by label, stably (each group's members in input order):
// order[k] is the member at position k, rank[i] the position of member i;
// and the length of each group in label order.  Labels that span fewer values
// than max(n, 65536) are counted in one pass; wider ones are sorted by a
// least-significant-digit radix sort of label - smallest label in passes of
// 16 bits, as many as the span needs.  Every pass is linear in n.
struct LabelOrder {
    std::vector<std::int64_t> order, rank, lengths;
};

LabelOrder order_by_label(std::span<const std::int64_t> ids) {
    const std::size_t n = ids.size();
    LabelOrder result{std::vector<std::int64_t>(n), std::vector<std::int64_t>(n), {}};
    std::vector<std::int64_t>& order = result.order;
    std::vector<std::int64_t>& rank = result.rank;
    if (n == 0) return result;
    const auto [low, high] = std::minmax_element(ids.begin(), ids.end());
    // Unsigned differences keep the order of any two int64 labels.
    const auto smallest = static_cast<std::uint64_t>(*low);
    const std::uint64_t span = static_cast<std::uint64_t>(*high) - smallest;
    const auto key = [&](std::size_t i) { return static_cast<std::uint64_t>(ids[i]) - smallest; };
    if (span < std::max<std::uint64_t>(n, 65536)) {
        std::vector<std::int64_t> starts(span + 1);
        for (std::size_t i = 0; i < n; ++i) ++starts[key(i)];
        std::int64_t total = 0;
        for (std::int64_t& start : starts) {
            if (start != 0) result.lengths.push_back(start);
            total += std::exchange(start, total);
        }
        for (std::size_t i = 0; i < n; ++i) {
            rank[i] = starts[key(i)]++;
            order[static_cast<std::size_t>(rank[i])] = static_cast<std::int64_t>(i);
        }
        return result;
    }
    constexpr int kDigitBits = 16;
    constexpr std::size_t kBuckets = std::size_t{1} << kDigitBits;
    std::vector<std::int64_t> next(n);
    std::vector<std::size_t> starts(kBuckets);
    std::iota(order.begin(), order.end(), std::int64_t{0});
    for (int shift = 0; shift < 64 && (span >> shift) != 0; shift += kDigitBits) {
        std::fill(starts.begin(), starts.end(), 0);
        for (const std::int64_t i : order) ++starts[(key(static_cast<std::size_t>(i)) >> shift) & (kBuckets - 1)];
        std::size_t total = 0;
        for (std::size_t& start : starts) total += std::exchange(start, total);
        for (const std::int64_t i : order)
            next[starts[(key(static_cast<std::size_t>(i)) >> shift) & (kBuckets - 1)]++] = i;
        order.swap(next);
    }
    for (std::size_t k = 0; k < n; ++k) rank[static_cast<std::size_t>(order[k])] = static_cast<std::int64_t>(k);
    for (std::size_t k = 0; k < n; ++k) {
        if (k == 0 || ids[static_cast<std::size_t>(order[k])] != ids[static_cast<std::size_t>(order[k - 1])])
            result.lengths.push_back(1);
        else
            ++result.lengths.back();
    }
    return result;
}

}  // namespace

GroupBaseline lenient_baseline(std::string_view name) {
    if (name == "median") return GroupBaseline::Median;
    if (name == "min") return GroupBaseline::Min;
    return GroupBaseline::Mean;
}

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

void matrix_group_advantages(const numeric::ValueMatrix& rewards, GroupBaseline baseline, GroupScale scale,
                             const Standardisation& statistics, double* out) {
    if (rewards.columns == 0 || rewards.rows == 0) {  // nothing to compute, however many rows
        parallel::parallel_map(0, 0.0, [](std::int64_t, std::int64_t) {});
        return;
    }
    const Standardisation* group_statistics = per_group(scale, statistics);
    const double cost = ns_per_group(baseline, static_cast<double>(rewards.columns));
    const VectorKernels& vector = vector_kernels();
    parallel::parallel_map_blocks(rewards.rows, vector.lanes, cost, [&](std::int64_t begin, std::int64_t end) {
        vector.group_matrix_range(rewards, baseline, group_statistics, out, begin, end);
    });
    if (scale == GroupScale::Batch) standardise_batch(out, rewards.rows * rewards.columns, statistics);
}

void ragged_group_advantages(const numeric::ValueRun& rewards, std::span<const std::int64_t> lengths,
                             GroupBaseline baseline, GroupScale scale, const Standardisation& statistics, double* out) {
    const auto groups = static_cast<std::int64_t>(lengths.size());
    std::vector<std::int64_t> offsets(lengths.size());
    std::int64_t offset = 0;
    for (std::size_t g = 0; g < lengths.size(); ++g) {
        offsets[g] = offset;
        offset += lengths[g];
    }
    const Standardisation* group_statistics = per_group(scale, statistics);
    const double cost = ns_per_group(baseline, groups > 0 ? static_cast<double>(rewards.size) / groups : 0.0);
    const VectorKernels& vector = vector_kernels();
    parallel::parallel_map_blocks(groups, vector.lanes, cost, [&](std::int64_t begin, std::int64_t end) {
        vector.group_ragged_range(rewards, lengths.data(), offsets.data(), baseline, group_statistics, out, begin, end);
    });
    if (scale == GroupScale::Batch) standardise_batch(out, rewards.size, statistics);
}

void labelled_group_advantages(const numeric::ValueRun& rewards, std::span<const std::int64_t> ids,
                               GroupBaseline baseline, GroupScale scale, const Standardisation& statistics,
                               double* out) {
    const auto n = static_cast<std::int64_t>(ids.size());
    const LabelOrder sorted = order_by_label(ids);
    const std::vector<std::int64_t>& order = sorted.order;
    const std::vector<std::int64_t>& rank = sorted.rank;
    // The rewards moved into that order, in their own precision; read in
    // input order and written to their ranks (stores do not wait as loads do).
    const std::int64_t size = numeric::element_size(rewards.precision);
    std::vector<char> gathered(static_cast<std::size_t>(n * size));
    const auto move_to_ranks = [&]<class Bits>(Bits) {
        for (std::int64_t i = 0; i < n; ++i)
            std::memcpy(gathered.data() + rank[i] * size, rewards.data + i * rewards.stride, sizeof(Bits));
    };
    if (size == 4)
        move_to_ranks(std::uint32_t{});
    else
        move_to_ranks(std::uint64_t{});
    std::vector<double> grouped(static_cast<std::size_t>(n));
    const numeric::ValueRun run{gathered.data(), n, size, rewards.precision};
    ragged_group_advantages(run, sorted.lengths, baseline, scale == GroupScale::Group ? scale : GroupScale::None,
                            statistics, grouped.data());
    for (std::int64_t k = 0; k < n; ++k) out[order[k]] = grouped[k];
    if (scale == GroupScale::Batch) standardise_batch(out, n, statistics);
}

}  // namespace qrl::kernels
