// Group-relative advantages (GRPO): each reward minus a baseline of its own
// group (row), optionally standardised with the group's own statistics.
#pragma once

#include <string_view>

#include "numeric/runs.h"

namespace qrl::kernels {

enum class Baseline { Mean, Median, Min };

// Exactly "median" and "min" select those; every other string selects the mean.
Baseline baseline_from_name(std::string_view name);

// Writes the advantage of member j of group i to out[i * columns + j]; the
// groups run on the worker pool, one item each.
void group_advantages(const numeric::DoubleMatrix& rewards, Baseline baseline, bool normalize, double* out);

}  // namespace qrl::kernels
