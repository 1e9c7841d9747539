// Medians as a stable ascending sort by `<` would place them, without
// sorting when the values allow it.
//
// For values without NaN, `<` is a strict weak order: a selection (in place,
// or a radix selection on order-preserving keys for many values) gives the
// values at the middle positions, and only the sign of a zero there depends
// on the stable order (equal zeros keep their input order), which is
// recovered from the zeros' signs in input order.  With NaN present the
// order is not a total one and the result depends on the algorithm, so such
// values fall back to an explicit stable sort (straight insertion up to 20
// values, then merging), which stays in bounds whatever the comparison says.
#pragma once

#include <span>

namespace qrl::numeric {

// Median of values (at least one); reorders `values`.
double stable_median_in_place(std::span<double> values);

// The value that a stable ascending sort of `input` (without NaN) puts at
// `position`, given that an unstable sort or selection found `value` there:
// equal values are identical except zeros, whose signs keep input order.
double at_stable_position(double value, std::size_t position, std::span<const double> input);

// True when any value is NaN.
bool contains_nan(std::span<const double> values);

}  // namespace qrl::numeric
