// IEEE 754 minNum / maxNum: a NaN operand is ignored (both NaN gives NaN),
// and of two zeros -0.0 is the smaller.  Written as selects and bit masks
// without branches, so loops around them vectorise (min/max, compare, and,
// or) and random data costs no mispredictions.
#pragma once

#include <bit>
#include <cstdint>

namespace qrl::numeric {

inline std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

[[gnu::always_inline]] inline double min_num(double a, double b) {
    double m = (a < b) ? a : b;  // b when they are equal or either is NaN
    // Equal operands differ at most in the sign of a zero: OR-ing a's bits
    // into b gives -0.0 when either is -0.0 and changes nothing otherwise.
    const std::uint64_t equal_bits = (a == b) ? bits(a) : 0;
    m = std::bit_cast<double>(bits(m) | equal_bits);
    return (b != b) ? a : m;  // a NaN b yields a (and NaN when both are)
}

[[gnu::always_inline]] inline double max_num(double a, double b) {
    double m = (a > b) ? a : b;
    // AND-ing gives +0.0 when either is +0.0; the mask keeps m otherwise.
    const std::uint64_t keep = (a == b) ? bits(a) : ~std::uint64_t{0};
    m = std::bit_cast<double>(bits(m) & keep);
    return (b != b) ? a : m;
}

// a + b, and a's NaN when both are NaN.  Which NaN a hardware addition
// returns depends on which operand the compiler put first, and addition
// commutes for the compiler: this fixes the bits whatever the code layout.
[[gnu::always_inline]] inline double sum_first_nan(double a, double b) { return (a != a) ? a : a + b; }

}  // namespace qrl::numeric
