#include "numeric/median.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace qrl::numeric {
namespace {

constexpr std::size_t kInsertionLimit = 20;

// Straight insertion: each value moves left past every preceding value it is
// strictly less than, and stops at the first one it is not less than.
void insertion_sort(double* v, std::size_t n) {
    for (std::size_t k = 1; k < n; ++k) {
        const double x = v[k];
        std::size_t j = k;
        while (j > 0 && x < v[j - 1]) {
            v[j] = v[j - 1];
            --j;
        }
        v[j] = x;
    }
}

// Stable merge sort: insertion-sorted runs, then bottom-up merges that take
// from the right run only when its head is strictly less.  Every index stays
// within its run whatever the comparisons answer.
void stable_sort(double* v, std::size_t n) {
    if (n <= kInsertionLimit) {
        insertion_sort(v, n);
        return;
    }
    for (std::size_t lo = 0; lo < n; lo += kInsertionLimit)
        insertion_sort(v + lo, std::min(kInsertionLimit, n - lo));
    std::vector<double> other(n);
    double* from = v;
    double* to = other.data();
    for (std::size_t width = kInsertionLimit; width < n; width *= 2) {
        for (std::size_t lo = 0; lo < n; lo += 2 * width) {
            const std::size_t mid = std::min(lo + width, n);
            const std::size_t hi = std::min(lo + 2 * width, n);
            std::size_t i = lo, j = mid, out = lo;
            while (i < mid && j < hi) to[out++] = (from[j] < from[i]) ? from[j++] : from[i++];
            while (i < mid) to[out++] = from[i++];
            while (j < hi) to[out++] = from[j++];
        }
        std::swap(from, to);
    }
    if (from != v) std::memcpy(v, from, n * sizeof(double));
}

double median_of_sorted(const double* s, std::size_t n) {
    if (n % 2 == 1) return s[n / 2];
    return (s[n / 2 - 1] + s[n / 2]) * 0.5;
}

// The value a stable sort would put at `position`, given that a selection
// found `value` there: only zeros are ambiguous, and equal zeros keep their
// input order, so the zero at that position is the (position - #negatives)th
// zero of the input; `zero_signs` lists the input's zero signs in order.
double with_stable_zero_sign(double value, std::size_t position, std::span<const double> values,
                             const std::vector<bool>& zero_signs) {
    if (value != 0.0) return value;
    std::size_t negatives = 0;  // the same for any order of the values
    for (double x : values) negatives += (x < 0.0);
    return zero_signs[position - negatives] ? -0.0 : 0.0;
}

}  // namespace

bool contains_nan(std::span<const double> values) {
    bool any = false;
    for (double x : values) any |= (x != x);
    return any;
}

double stable_median_in_place(std::span<double> values) {
    const std::size_t n = values.size();
    double* v = values.data();
    bool any_nan = false, any_zero = false;
    for (double x : values) {
        any_nan |= (x != x);
        any_zero |= (x == 0.0);
    }
    if (n <= kInsertionLimit || any_nan) {
        stable_sort(v, n);
        return median_of_sorted(v, n);
    }
    std::vector<bool> zero_signs;
    if (any_zero)
        for (double x : values)
            if (x == 0.0) zero_signs.push_back(std::signbit(x));
    const std::size_t k = n / 2;
    std::nth_element(v, v + k, v + n);
    const double upper = with_stable_zero_sign(v[k], k, values, zero_signs);
    if (n % 2 == 1) return upper;
    const double lower = with_stable_zero_sign(*std::max_element(v, v + k), k - 1, values, zero_signs);
    return (lower + upper) * 0.5;
}

}  // namespace qrl::numeric
