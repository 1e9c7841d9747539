#include "kernels/masked_kernels.h"

#include <cmath>
#include <utility>
#include <vector>

#include "kernels/costs.h"
#include "kernels/vector_kernels.h"
#include "parallel/parallel_map.h"

namespace qrl::kernels {
namespace {

using numeric::FlagMatrix;
using numeric::OutputMatrix;
using numeric::Precision;
using numeric::ValueMatrix;

// One block of kSumBlock columns of one row.
struct Blocks {
    std::int64_t rows, columns, per_row;
    Blocks(std::int64_t rows_, std::int64_t columns_)
        : rows(rows_), columns(columns_), per_row((columns_ + kSumBlock - 1) / kSumBlock) {}
    std::int64_t count() const { return rows * per_row; }
    std::int64_t row(std::int64_t b) const { return b / per_row; }
    std::int64_t begin(std::int64_t b) const { return (b % per_row) * kSumBlock; }
    std::int64_t length(std::int64_t b) const {
        const std::int64_t start = begin(b);
        return columns - start < kSumBlock ? columns - start : kSumBlock;
    }
};

// Runs block(i, begin, length) over every block, on the pool.
template <class Block>
void each_block(const Blocks& blocks, double ns_per_element, Block&& block) {
    parallel::parallel_map(blocks.count(), ns_per_element * kSumBlock, [&](std::int64_t first, std::int64_t last) {
        for (std::int64_t b = first; b < last; ++b) block(blocks.row(b), blocks.begin(b), blocks.length(b));
    });
}

// The kept sum over the matrix (of (x - *centre)^2 when centre is given) and
// the kept count: blocks in parallel, their sums added in block order.
double masked_sum(const ValueMatrix& values, const FlagMatrix& mask, const double* centre, std::int64_t* count) {
    const Blocks blocks(values.rows, values.columns);
    std::vector<double> sums(static_cast<std::size_t>(blocks.count()));
    std::vector<std::int64_t> counts(static_cast<std::size_t>(blocks.count()));
    const auto block_sum = vector_kernels().masked_block_sum;
    parallel::parallel_map(blocks.count(), costs::kMaskedSumElementNs * kSumBlock,
                           [&](std::int64_t first, std::int64_t last) {
                               for (std::int64_t b = first; b < last; ++b)
                                   block_sum(values, mask, blocks.row(b), blocks.begin(b), blocks.length(b), centre,
                                             &sums[static_cast<std::size_t>(b)], &counts[static_cast<std::size_t>(b)]);
                           });
    double total = 0.0;
    std::int64_t kept = 0;
    for (std::size_t b = 0; b < sums.size(); ++b) {
        total += sums[b];
        kept += counts[b];
    }
    *count = kept;
    return total;
}

}  // namespace

bool unmasked_from_name(std::string_view name, Unmasked* unmasked) {
    static constexpr std::pair<std::string_view, Unmasked> kNames[] = {
        {"whitened", Unmasked::Whitened}, {"zero", Unmasked::Zero}, {"times_mask", Unmasked::TimesMask}};
    for (const auto& [known, value] : kNames)
        if (name == known) {
            *unmasked = value;
            return true;
        }
    return false;
}

bool kl_estimator_from_name(std::string_view name, KlEstimator* estimator) {
    static constexpr std::pair<std::string_view, KlEstimator> kNames[] = {
        {"k1", KlEstimator::K1},  {"kl", KlEstimator::K1}, {"abs", KlEstimator::Abs},      {"k2", KlEstimator::K2},
        {"mse", KlEstimator::K2}, {"k3", KlEstimator::K3}, {"low_var_kl", KlEstimator::K3}};
    for (const auto& [known, value] : kNames)
        if (name == known) {
            *estimator = value;
            return true;
        }
    return false;
}

bool masked_moments(const ValueMatrix& values, const FlagMatrix& mask, const MaskedStatistics& statistics,
                    Moments* moments, const BlockSums* known) {
    std::int64_t n = 0;
    double sum = 0.0;
    if (known) {  // added as masked_sum adds them
        for (std::int64_t b = 0; b < values.rows * known->per_row; ++b) {
            sum += known->sums[b];
            n += known->counts[b];
        }
    } else {
        sum = masked_sum(values, mask, nullptr, &n);
    }
    moments->count = n;
    if (statistics.ddof > 0 && n <= statistics.ddof) return false;
    double divisor, factor = 1.0;
    if (statistics.float32_counts) {
        const auto count = static_cast<float>(n);
        divisor = static_cast<float>(count + static_cast<float>(statistics.count_epsilon));
        if (statistics.ddof > 0) factor = count / static_cast<float>(n - statistics.ddof);
    } else {
        divisor = static_cast<double>(n) + statistics.count_epsilon;
        if (statistics.ddof > 0) factor = static_cast<double>(n) / static_cast<double>(n - statistics.ddof);
    }
    moments->mean = sum / divisor;
    std::int64_t unused = 0;
    const double squares = masked_sum(values, mask, &moments->mean, &unused);
    moments->variance = statistics.ddof > 0 ? (squares / divisor) * factor : squares / divisor;
    return true;
}

void masked_whitening(const ValueMatrix& values, const FlagMatrix& mask, const Moments& moments, double epsilon,
                      bool shift_mean, Unmasked unmasked, const OutputMatrix& out) {
    const WhiteningBlock block{values,     mask,    out, moments.mean, 1.0 / std::sqrt(moments.variance + epsilon),
                               shift_mean, unmasked};
    const auto whiten = vector_kernels().masked_whiten_block;
    each_block(Blocks(values.rows, values.columns), costs::kElementwiseNs,
               [&](std::int64_t i, std::int64_t begin, std::int64_t length) { whiten(block, i, begin, length); });
}

void broadcast_row_values(const numeric::ValueRun& values, const FlagMatrix& mask, const OutputMatrix& out) {
    const auto broadcast = vector_kernels().broadcast_block;
    each_block(Blocks(out.rows, out.columns), costs::kStoreElementNs,
               [&](std::int64_t i, std::int64_t begin, std::int64_t length) {
                   broadcast(values[i], mask, out, i, begin, length);
               });
}

void kl_penalty(const ValueMatrix& logprob, const ValueMatrix& ref_logprob, KlEstimator estimator,
                const FlagMatrix& mask, const ValueMatrix& rewards, double beta, const OutputMatrix& out) {
    const KlBlock block{logprob, ref_logprob, estimator, mask, rewards, beta, out};
    const auto estimate = vector_kernels().kl_penalty_block;
    each_block(Blocks(logprob.rows, logprob.columns), costs::kElementwiseNs,
               [&](std::int64_t i, std::int64_t begin, std::int64_t length) { estimate(block, i, begin, length); });
}

}  // namespace qrl::kernels
