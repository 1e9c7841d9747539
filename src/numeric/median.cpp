#include "numeric/median.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
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
    for (std::size_t lo = 0; lo < n; lo += kInsertionLimit) insertion_sort(v + lo, std::min(kInsertionLimit, n - lo));
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

// Radix selection on order-preserving integer keys (for values without
// NaN; -0.0 gets its own key just below +0.0, and zero signs are settled
// afterwards from the input order).  Linear time and few branches; the
// values themselves are left in their order.
constexpr std::uint64_t kSignBit = std::uint64_t{1} << 63;

std::uint64_t order_key(double x) {
    const auto u = std::bit_cast<std::uint64_t>(x);
    return (u & kSignBit) ? ~u : (u | kSignBit);
}

double from_order_key(std::uint64_t key) { return std::bit_cast<double>((key & kSignBit) ? (key & ~kSignBit) : ~key); }

// The key at 0-based rank `rank` among the keys of `values`.
std::uint64_t select_key(std::span<const double> values, std::size_t rank) {
    std::vector<std::uint64_t> keys;
    int shift = 56;
    auto digit = [&shift](std::uint64_t key) { return static_cast<std::size_t>((key >> shift) & 0xFF); };
    // First pass straight from the values, then within the chosen bucket.
    std::size_t count[256] = {};
    for (double x : values) ++count[digit(order_key(x))];
    std::size_t bucket = 0;
    while (rank >= count[bucket]) rank -= count[bucket++];
    // Every key is written and only the bucket's advance the end: no branch
    // to mispredict when the bucket holds about half of them.
    keys.resize(values.size());
    std::size_t kept = 0;
    for (double x : values) {
        const std::uint64_t key = order_key(x);
        keys[kept] = key;
        kept += digit(key) == bucket;
    }
    keys.resize(kept);
    while (keys.size() > 64 && shift > 0) {
        shift -= 8;
        std::fill(std::begin(count), std::end(count), 0);
        for (std::uint64_t key : keys) ++count[digit(key)];
        bucket = 0;
        while (rank >= count[bucket]) rank -= count[bucket++];
        kept = 0;
        for (std::uint64_t key : keys) {
            keys[kept] = key;
            kept += digit(key) == bucket;
        }
        keys.resize(kept);
    }
    std::nth_element(keys.begin(), keys.begin() + static_cast<std::ptrdiff_t>(rank), keys.end());
    return keys[rank];
}

double median_by_radix(std::span<const double> values) {
    const std::size_t n = values.size();
    const std::size_t k = n / 2;
    const auto count = static_cast<std::int64_t>(n);
    const auto position = static_cast<std::int64_t>(k);
    const std::uint64_t upper_key = select_key(values, k);
    const double upper = with_stable_zero_sign(from_order_key(upper_key), position, values, count);
    if (n % 2 == 1) return upper;
    // Rank k - 1 holds the same key when fewer than k keys lie below it,
    // else the largest key below it.
    std::size_t below = 0;
    std::uint64_t largest_below = 0;
    for (double x : values) {
        const std::uint64_t key = order_key(x);
        const bool is_below = key < upper_key;
        below += is_below;
        largest_below = std::max(largest_below, is_below ? key : 0);
    }
    const std::uint64_t lower_key = below < k ? upper_key : largest_below;
    const double lower = with_stable_zero_sign(from_order_key(lower_key), position - 1, values, count);
    return (lower + upper) * 0.5;
}

constexpr std::size_t kRadixFrom = 256;

}  // namespace

bool contains_nan(std::span<const double> values) {
    bool any = false;
    for (double x : values) any |= (x != x);
    return any;
}

double stable_median_in_place(std::span<double> values) {
    const std::size_t n = values.size();
    double* v = values.data();
    if (n <= kInsertionLimit || contains_nan(values)) {
        stable_sort(v, n);
        return median_of_sorted(v, n);
    }
    if (n >= kRadixFrom) return median_by_radix(values);
    // Select on a copy: the zero signs come from the input order.
    std::vector<double> selection(values.begin(), values.end());
    double* s = selection.data();
    const std::size_t k = n / 2;
    const auto count = static_cast<std::int64_t>(n);
    const auto position = static_cast<std::int64_t>(k);
    std::nth_element(s, s + k, s + n);
    const double upper = with_stable_zero_sign(s[k], position, values, count);
    if (n % 2 == 1) return upper;
    const double lower = with_stable_zero_sign(*std::max_element(s, s + k), position - 1, values, count);
    return (lower + upper) * 0.5;
}

}  // namespace qrl::numeric
