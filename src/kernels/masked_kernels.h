// Passes over (rows, columns) data with a mask of flags: masked statistics
// and whitening, a per-row value broadcast along the mask, and per-token KL
// estimates.  Inputs of float32 or float64 are read in place; the arithmetic
// is double precision and each result is rounded once to its destination.
#pragma once

#include <cstdint>
#include <string_view>

#include "numeric/arrays.h"
#include "numeric/flags.h"

namespace qrl::kernels {

// What the whitening writes where the mask is unset.
enum class Unmasked {
    Whitened,   // the whitened value, as everywhere
    Zero,       // 0.0
    TimesMask,  // the whitened value times 0.0 (a signed zero; NaN stays NaN)
};
// "whitened", "zero", "times_mask"; false for any other name.
bool unmasked_from_name(std::string_view name, Unmasked* unmasked);

// Statistics over the n elements whose flag is set (every element without
// a mask): mean = S / d and variance = (Q / d) * n / (n - ddof) (the factor
// left out when ddof is 0), where S is the sum of the kept values, Q the sum
// of their squared differences from the mean, and d = n + count_epsilon.
// float32_counts forms d and n / (n - ddof) in float32 from float32(n), as
// torch does from an integer count.
//
// Summation order, fixed whatever the thread count: each row is cut into
// blocks of kSumBlock columns; within a block, element j goes to
// accumulator j mod 8, each starting from 0.0, and the eight are combined
// as ((a0 + a1) + (a2 + a3)) + ((a4 + a5) + (a6 + a7)); the blocks' sums are
// added from 0.0 in row-major order.
inline constexpr std::int64_t kSumBlock = 2048;

struct MaskedStatistics {
    std::int64_t ddof = 1;
    double count_epsilon = 1e-8;
    bool float32_counts = false;
};

struct Moments {
    double mean = 0.0, variance = 0.0;
    std::int64_t count = 0;
};

// The kept sum and count of each block of a matrix, blocks in row-major
// order (per_row of them a row), as masked_moments forms them: a pass that
// writes the values may gather them (kernels/padded_gae.h).
struct BlockSums {
    double* sums;
    std::int64_t* counts;
    std::int64_t per_row;
};
inline std::int64_t blocks_per_row(std::int64_t columns) { return (columns + kSumBlock - 1) / kSumBlock; }

// false (count set, nothing else) when the mask keeps no more than ddof
// elements and ddof > 0.  `known`: the blocks' sums of these values and
// mask, already gathered (the result is the same).
bool masked_moments(const numeric::ValueMatrix& values, const numeric::FlagMatrix& mask,
                    const MaskedStatistics& statistics, Moments* moments, const BlockSums* known = nullptr);

// out = (values - mean) * (1 / sqrt(variance + epsilon)), plus the mean
// again unless shift_mean; where the mask is unset, as `unmasked` says.  out
// may be `values` itself (the same elements), never partly over it.
void masked_whitening(const numeric::ValueMatrix& values, const numeric::FlagMatrix& mask, const Moments& moments,
                      double epsilon, bool shift_mean, Unmasked unmasked, const numeric::OutputMatrix& out);

// out[i, j] = values[i] where mask[i, j] is set, values[i] * 0.0 elsewhere.
void broadcast_row_values(const numeric::ValueRun& values, const numeric::FlagMatrix& mask,
                          const numeric::OutputMatrix& out);

// Per-token estimates of KL(policy || reference) from log-probabilities,
// with d = logprob - ref_logprob: K1 d, Abs |d|, K2 0.5 * (d * d), K3
// (exp(x) - x) - 1 with x = ref_logprob - logprob clamped to [-20, 20], the
// result clamped to [-10, 10] (NaN passes both clamps).
enum class KlEstimator { K1, Abs, K2, K3 };
// "k1"/"kl", "abs", "k2"/"mse", "k3"/"low_var_kl"; false for any other name.
bool kl_estimator_from_name(std::string_view name, KlEstimator* estimator);

// What a block of the whitening or of the KL pass reads and writes (the
// per-instruction-set blocks in kernels/vector_kernels.h).
struct WhiteningBlock {
    numeric::ValueMatrix values;
    numeric::FlagMatrix mask;
    numeric::OutputMatrix out;
    double mean, scale;
    bool shift_mean;
    Unmasked unmasked;
};
struct KlBlock {
    numeric::ValueMatrix logprob, ref_logprob;
    KlEstimator estimator;
    numeric::FlagMatrix mask;
    numeric::ValueMatrix rewards;
    double beta;
    numeric::OutputMatrix out;
};

// out = kl, times 0.0 where the mask (optional) is unset; with rewards
// (optional), rewards - beta * that.
void kl_penalty(const numeric::ValueMatrix& logprob, const numeric::ValueMatrix& ref_logprob, KlEstimator estimator,
                const numeric::FlagMatrix& mask, const numeric::ValueMatrix& rewards, double beta,
                const numeric::OutputMatrix& out);

}  // namespace qrl::kernels
