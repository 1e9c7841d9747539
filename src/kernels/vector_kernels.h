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
#include "kernels/group_baselines.h"
#include "numeric/runs.h"

namespace qrl::kernels {

struct VectorKernels {
    const char* name;    // the instruction set: "baseline", "avx2", "avx512" or "neon"
    std::int64_t lanes;  // doubles per vector

    // out[i] for i in [begin, end): the GSPO clipped objective between the
    // bounds, and the PPO clipped surrogate for lo <= hi.
    void (*gspo_clipping_range)(DoubleRun ratios, DoubleRun advantages, double lower, double upper, double* out,
                                std::int64_t begin, std::int64_t end);
    void (*ppo_surrogate_range)(DoubleRun ratios, DoubleRun advantages, double lo, double hi, double* out,
                                std::int64_t begin, std::int64_t end);

    // (x - mean) / scale and the clamp into [lo, hi] for lo <= hi.
    void (*standardize)(DoubleRun rewards, double mean, double scale, double* out);
    void (*clamp)(DoubleRun rewards, double lo, double hi, double* out);
    // Smallest and largest of n values by minNum and maxNum.
    void (*min_max)(const double* values, std::int64_t n, double* smallest, double* largest);

    // Group advantages of groups begin..end-1; blocks of `lanes` groups
    // start at multiples of `lanes`.
    void (*groups_range)(const numeric::DoubleMatrix& rewards, Baseline baseline, bool normalize, double* out,
                         std::int64_t begin, std::int64_t end);

    // GAE of `lanes` trajectories of equal, non-zero length side by side;
    // `buffer` holds (2 * length + 1) * lanes doubles.
    void (*gae_side_by_side)(const Trajectory* trajectories, double gamma, double lambda, double* buffer);

    // Group baselines of the groups begin..end-1 of a matrix (one group a
    // row) or of a flat vector cut by lengths (group i from offsets[i]).
    void (*baseline_matrix_range)(const numeric::DoubleMatrix& rewards, GroupBaseline baseline, bool standardise,
                                  double* out, std::int64_t begin, std::int64_t end);
    void (*baseline_ragged_range)(DoubleRun rewards, const std::int64_t* lengths, const std::int64_t* offsets,
                                  GroupBaseline baseline, bool standardise, double* out, std::int64_t begin,
                                  std::int64_t end);
};

// The table for this process, chosen once.
const VectorKernels& vector_kernels();

}  // namespace qrl::kernels
