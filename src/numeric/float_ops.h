// IEEE 754 minNum / maxNum: a NaN operand is ignored (both NaN gives NaN),
// and of two zeros -0.0 is the smaller.  Written with plain comparisons so
// the compiler can keep them branch-free and vectorise loops around them.
#pragma once

#include <bit>
#include <cstdint>

namespace qrl::numeric {

inline double min_num(double a, double b) {
    if (a < b) return a;
    if (b < a) return b;
    if (a != a) return b;
    if (b != b) return a;
    // Equal: only the sign of a zero can differ, and -0.0 wins.
    return std::bit_cast<double>(std::bit_cast<std::uint64_t>(a) | std::bit_cast<std::uint64_t>(b));
}

inline double max_num(double a, double b) {
    if (a > b) return a;
    if (b > a) return b;
    if (a != a) return b;
    if (b != b) return a;
    return std::bit_cast<double>(std::bit_cast<std::uint64_t>(a) & std::bit_cast<std::uint64_t>(b));
}

}  // namespace qrl::numeric
