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

#include <cstdint>
#include <span>

namespace qrl::numeric {

// Median of values (at least one); reorders `values`.
double stable_median_in_place(std::span<double> values);

// True when any value is NaN.
bool contains_nan(std::span<const double> values);

// The value that a stable ascending sort of `input` (no NaN; `count` values
// in input order, indexable by std::int64_t) puts at `position`, given that
// an unstable sort or a selection found `value` there.  Equal values are
// identical except zeros, and the stable sort keeps equal zeros in input
// order: the zero at `position` is the (position - number of negative
// values)-th zero of the input.  The input is scanned only for a zero.
template <class Input>
double with_stable_zero_sign(double value, std::int64_t position, const Input& input, std::int64_t count) {
    if (value != 0.0) return value;
    std::int64_t wanted = position;
    for (std::int64_t j = 0; j < count; ++j) wanted -= (input[j] < 0.0);
    for (std::int64_t j = 0; j < count; ++j) {
        const double x = input[j];
        if (x == 0.0 && wanted-- == 0) return x;
    }
    return value;  // not reached for a consistent position
}

}  // namespace qrl::numeric
