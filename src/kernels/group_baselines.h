// Group-relative advantages with more baselines and standardisations, over
// groups of equal size (rows of a matrix) or of any sizes (runs of a flat
// vector).  The mean, median and minimum baselines and the per-group
// standardisation follow exactly the rules of compute_group_advantages.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "numeric/runs.h"

namespace qrl::kernels {

enum class GroupBaseline { Mean, Median, Min, LeaveOneOut };
enum class GroupScale { Group, Batch, None };

// "mean", "median", "min", "leave_one_out"; false for any other name.
bool group_baseline_from_name(std::string_view name, GroupBaseline* baseline);
// "group", "batch", "none"; false for any other name.
bool group_scale_from_name(std::string_view name, GroupScale* scale);

// Row i of `rewards` is group i; out is row-major (rows, columns).
void matrix_group_advantages(const numeric::DoubleMatrix& rewards, GroupBaseline baseline, GroupScale scale,
                             double* out);

// Groups of lengths[0], lengths[1], ... values (each >= 0, summing to
// rewards.size) follow each other in `rewards`; out has rewards.size slots.
void ragged_group_advantages(numeric::DoubleRun rewards, std::span<const std::int64_t> lengths, GroupBaseline baseline,
                             GroupScale scale, double* out);

}  // namespace qrl::kernels
