// The vector kernels of one instruction set, declared inside its namespace
// for the sources that are compiled once per target.
#pragma once

#include "kernels/vector_kernels.h"
#include "numeric/vector_target.h"

namespace qrl::kernels::QRL_TARGET {

void gspo_clipping_range(DoubleRun ratios, DoubleRun advantages, double lower, double upper, double* out,
                         std::int64_t begin, std::int64_t end);
void ppo_surrogate_range(DoubleRun ratios, DoubleRun advantages, double lo, double hi, double* out, std::int64_t begin,
                         std::int64_t end);
void standardize(DoubleRun rewards, double mean, double scale, double* out);
void clamp(DoubleRun rewards, double lo, double hi, double* out);
void min_max(const double* values, std::int64_t n, double* smallest, double* largest);
void groups_range(const numeric::DoubleMatrix& rewards, Baseline baseline, bool normalize, double* out,
                  std::int64_t begin, std::int64_t end);
void gae_side_by_side(const Trajectory* trajectories, double gamma, double lambda, double* buffer);
void matrix_range(const numeric::DoubleMatrix& rewards, GroupBaseline baseline, bool standardise, double* out,
                  std::int64_t begin, std::int64_t end);
void ragged_range(DoubleRun rewards, const std::int64_t* lengths, const std::int64_t* offsets, GroupBaseline baseline,
                  bool standardise, double* out, std::int64_t begin, std::int64_t end);

extern const VectorKernels table;

}  // namespace qrl::kernels::QRL_TARGET
