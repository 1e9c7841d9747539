// Group-relative advantages (GRPO), the one engine behind
// compute_group_advantages and the trainer-layer group functions: each
// reward minus a baseline of its own group, optionally standardised with
// the group's (or the whole batch's) statistics.  Groups are the rows of a
// matrix, runs of a flat vector cut by lengths, or the members sharing a
// label.  Rewards of float32 or float64 are read in place; the arithmetic is
// double precision and the results are doubles.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "numeric/arrays.h"

namespace qrl::kernels {

enum class GroupBaseline { Mean, Median, Min, LeaveOneOut };
enum class GroupScale { Group, Batch, None };

// The statistics of a standardisation: the mean mu of the advantages and
// sigma = sqrt(sum((a - mu)^2) / (n - ddof)), sums in index order from
// -0.0; when sigma > floor, (a - mu) / (sigma + epsilon), otherwise the
// advantages stay neither centred nor scaled.  A group of one member is
// never standardised.
struct Standardisation {
    std::int64_t ddof = 0;
    double epsilon = 1e-8;
    double floor = 1e-8;
};

// compute_group_advantages' lenient names: exactly "median" and "min"
// select those, every other string the mean.
GroupBaseline lenient_baseline(std::string_view name);
// "mean", "median", "min", "leave_one_out"; false for any other name.
bool group_baseline_from_name(std::string_view name, GroupBaseline* baseline);
// "group", "batch", "none"; false for any other name.
bool group_scale_from_name(std::string_view name, GroupScale* scale);

// Row i of `rewards` is group i; out is row-major (rows, columns).
void matrix_group_advantages(const numeric::ValueMatrix& rewards, GroupBaseline baseline, GroupScale scale,
                             const Standardisation& statistics, double* out);

// Groups of lengths[0], lengths[1], ... values (each >= 0, summing to
// rewards.size) follow each other in `rewards`; out has rewards.size slots.
void ragged_group_advantages(const numeric::ValueRun& rewards, std::span<const std::int64_t> lengths,
                             GroupBaseline baseline, GroupScale scale, const Standardisation& statistics, double* out);

// Member j belongs to the group labelled ids[j] (any values, any order);
// within a group, sums run in input order, and the batch statistics run
// over all members in input order.  out[j] is member j's advantage.
void labelled_group_advantages(const numeric::ValueRun& rewards, std::span<const std::int64_t> ids,
                               GroupBaseline baseline, GroupScale scale, const Standardisation& statistics,
                               double* out);

}  // namespace qrl::kernels
