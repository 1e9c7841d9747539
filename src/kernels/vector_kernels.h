// The kernels that run in vector lanes, compiled once per instruction set
// (x86-64: the SSE2 baseline, AVX2 and AVX-512; aarch64: NEON) from the same
// sources, each with its own lane count.  One table of them is chosen at
// first use from what the processor supports, capped by QRL_CPU_FEATURES.
// Every path performs the same IEEE operations in the same order, so the
// choice changes no bit of any result.
#pragma once

#include <cstdint>

#include "kernels/gae.h"
#include "kernels/group_advantages.h"
#include "kernels/masked_kernels.h"
#include "kernels/padded_gae.h"
#include "numeric/arrays.h"
#include "numeric/runs.h"

namespace qrl::kernels {

// Every vector kernel, declared once: X(name, parameters).  The list makes
// the table's fields, each target's declarations and its table entries.
//
// gspo_clipping_range, ppo_surrogate_range: out[i] for i in [begin, end),
//   the GSPO clipped objective between the bounds, and the PPO clipped
//   surrogate for lo <= hi.
// standardize, clamp: (x - mean) / scale, and the clamp into [lo, hi] for
//   lo <= hi.
// min_max: smallest and largest of n values by minNum and maxNum.
// gae_side_by_side: GAE of `lanes` trajectories of equal, non-zero length
//   side by side; `buffer` holds (2 * min(length, kGaeBlockSteps) + 1) * lanes doubles.
// group_matrix_range, group_ragged_range: group advantages of the groups
//   begin..end-1 of a matrix (one group a row) or of a flat vector cut by
//   lengths (group i from offsets[i]); blocks of `lanes` groups start at
//   multiples of `lanes`; `statistics` null: no per-group standardisation.
#define QRL_VECTOR_KERNELS(X)                                                                                         \
    X(gspo_clipping_range, (DoubleRun ratios, DoubleRun advantages, double lower, double upper, double* out,          \
                            std::int64_t begin, std::int64_t end))                                                    \
    X(ppo_surrogate_range, (DoubleRun ratios, DoubleRun advantages, double lo, double hi, double* out,                \
                            std::int64_t begin, std::int64_t end))                                                    \
    X(standardize, (DoubleRun rewards, double mean, double scale, double* out))                                       \
    X(clamp, (DoubleRun rewards, double lo, double hi, double* out))                                                  \
    X(min_max, (const double* values, std::int64_t n, double* smallest, double* largest))                             \
    X(gae_side_by_side, (const Trajectory* trajectories, double gamma, double lambda, double* buffer))                \
    X(group_matrix_range, (const numeric::ValueMatrix& rewards, GroupBaseline baseline,                               \
                           const Standardisation* statistics, double* out, std::int64_t begin, std::int64_t end))     \
    X(group_ragged_range,                                                                                             \
      (const numeric::ValueRun& rewards, const std::int64_t* lengths, const std::int64_t* offsets,                    \
       GroupBaseline baseline, const Standardisation* statistics, double* out, std::int64_t begin, std::int64_t end)) \
    X(masked_block_sum,                                                                                               \
      (const numeric::ValueMatrix& values, const numeric::FlagMatrix& mask, std::int64_t i, std::int64_t begin,       \
       std::int64_t length, const double* centre, double* sum, std::int64_t* kept))                                   \
    X(masked_whiten_block, (const WhiteningBlock& block, std::int64_t i, std::int64_t begin, std::int64_t length))    \
    X(broadcast_block, (double value, const numeric::FlagMatrix& mask, const numeric::OutputMatrix& out,              \
                        std::int64_t i, std::int64_t begin, std::int64_t length))                                     \
    X(kl_penalty_block, (const KlBlock& block, std::int64_t i, std::int64_t begin, std::int64_t length))              \
    X(padded_gae_rows,                                                                                                \
      (const PaddedBatch& batch, double gamma, double decay, const numeric::OutputMatrix& advantages,                 \
       const numeric::OutputMatrix& returns, const BlockSums* sums, std::int64_t begin, std::int64_t end))

struct VectorKernels {
    const char* name;    // the instruction set: "baseline", "avx2", "avx512" or "neon"
    std::int64_t lanes;  // doubles per vector
#define QRL_VECTOR_FIELD(name, parameters) void(*name) parameters;
    QRL_VECTOR_KERNELS(QRL_VECTOR_FIELD)
#undef QRL_VECTOR_FIELD
};

// The table for this process, chosen once.
const VectorKernels& vector_kernels();

// What the choice was made from: the paths this processor allows (lowest
// first) and the cap QRL_CPU_FEATURES put in force ("baseline", "avx2",
// "avx512"; null for none), as read when the table was chosen.
struct InstructionSetChoice {
    const char* chosen;
    const char* allowed[3];
    int allowed_count;
    const char* cap;
};
InstructionSetChoice instruction_set_choice();

}  // namespace qrl::kernels
