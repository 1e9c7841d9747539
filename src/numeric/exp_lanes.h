// exp(x) for |x| <= 700, written once for a double and for a vector of
// doubles: x = n ln2 + r with |r| <= ln2 / 2 (Cody and Waite's two-part ln2),
// exp(r) by its Taylor series to r^13 in Horner's order, times 2^n built in
// the exponent bits.  The same IEEE operations in the same order on every
// path and in the scalar tail, so the bits never depend on the instruction
// set (the C library's exp is a call per element, which no path can share
// with vector lanes).  Within 2 ulp of exp; NaN gives x + x.
#pragma once

#include <cstdint>
#include <cstring>

#include "numeric/simd.h"

namespace qrl::numeric::simd::inline QRL_TARGET {

namespace exp_constants {
inline constexpr double kInverseLn2 = 0x1.71547652b82fep+0;
inline constexpr double kLn2High = 0x1.62e42fee00000p-1;  // n * kLn2High is exact for |n| < 2^11
inline constexpr double kLn2Low = 0x1.a39ef35793c76p-33;
inline constexpr double kShifter = 0x1.8p52;  // t + kShifter rounds t to an integer, kept in the low bits
// 1 / k! for k = 13 down to 0.
inline constexpr double kTaylor[14] = {
    0x1.6124613a86d09p-33, 0x1.1eed8eff8d898p-29, 0x1.ae64567f544e4p-26, 0x1.27e4fb7789f5cp-22, 0x1.71de3a556c734p-19,
    0x1.a01a01a01a01ap-16, 0x1.a01a01a01a01ap-13, 0x1.6c16c16c16c17p-10, 0x1.1111111111111p-7,  0x1.5555555555555p-5,
    0x1.5555555555555p-3,  0x1.0000000000000p-1,  0x1.0000000000000p+0,  0x1.0000000000000p+0};
}  // namespace exp_constants

template <class T>
QRL_VECTOR_INLINE T bounded_exp(T x) {
    using namespace exp_constants;
    const T shifted = x * splat<T>(kInverseLn2) + splat<T>(kShifter);
    const T n = shifted - splat<T>(kShifter);
    const T r = (x - n * splat<T>(kLn2High)) - n * splat<T>(kLn2Low);
    T p = splat<T>(kTaylor[0]);
    for (int k = 1; k < 14; ++k) p = p * r + splat<T>(kTaylor[k]);
    // 2^n: n + 1023 in the exponent field (n sits in shifted's low bits).
    std::int64_t shifter_bits;
    std::memcpy(&shifter_bits, &kShifter, sizeof shifter_bits);
    if constexpr (sizeof(T) == sizeof(double)) {
        std::int64_t bits;
        std::memcpy(&bits, &shifted, sizeof bits);
        const std::int64_t scale_bits =
            static_cast<std::int64_t>(static_cast<std::uint64_t>(bits - shifter_bits + 1023) << 52);
        double scale;
        std::memcpy(&scale, &scale_bits, sizeof scale);
        return x != x ? x + x : p * scale;
    } else {
        const Mask scale_bits = ((reinterpret_cast<Mask>(shifted) - shifter_bits) + 1023) << 52;
        const T product = p * reinterpret_cast<T>(scale_bits);
        const Mask nan = x != x;
        return reinterpret_cast<T>((nan & reinterpret_cast<Mask>(x + x)) | (~nan & reinterpret_cast<Mask>(product)));
    }
}

}  // namespace qrl::numeric::simd::inline QRL_TARGET
