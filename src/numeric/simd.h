// Element-wise kernels written once, for one double or for a vector of
// doubles (GCC vector extensions): the vector body and the scalar tail run
// the same formula, and IEEE operations are exact per lane, so the result
// never depends on which path an element took.
#pragma once

#include <cstdint>
#include <cstring>

#include "numeric/float_ops.h"

namespace qrl::numeric::simd {

constexpr std::int64_t kLanes = 4;
using Doubles = double __attribute__((vector_size(kLanes * sizeof(double))));
using Mask = std::int64_t __attribute__((vector_size(kLanes * sizeof(double))));

template <class T>
inline T splat(double x) {
    if constexpr (sizeof(T) == sizeof(double)) {
        return x;
    } else {
        return T{x, x, x, x};
    }
}

inline Doubles load(const char* data, std::int64_t i) {
    Doubles v;
    std::memcpy(&v, data + i * static_cast<std::int64_t>(sizeof(double)), sizeof v);
    return v;
}

inline double select(bool take_first, double first, double second) { return take_first ? first : second; }
inline Doubles select(Mask take_first, Doubles first, Doubles second) { return take_first ? first : second; }

using numeric::max_num;
using numeric::min_num;

inline Doubles min_num(Doubles a, Doubles b) {
    Doubles m = (a < b) ? a : b;
    const Mask equal_bits = reinterpret_cast<Mask>(a) & (a == b);
    m = reinterpret_cast<Doubles>(reinterpret_cast<Mask>(m) | equal_bits);
    return (b != b) ? a : m;
}

inline Doubles max_num(Doubles a, Doubles b) {
    Doubles m = (a > b) ? a : b;
    const Mask keep = reinterpret_cast<Mask>(a) | ~(a == b);
    m = reinterpret_cast<Doubles>(reinterpret_cast<Mask>(m) & keep);
    return (b != b) ? a : m;
}

// out[i] = element(x[i], y[i]) for i in [begin, end); x and y have unit
// stride.  `element` is a generic callable taking (double, double) and
// (Doubles, Doubles).
template <class Element>
inline void map2(const char* x, const char* y, double* __restrict out, std::int64_t begin, std::int64_t end,
                 Element element) {
    std::int64_t i = begin;
    for (; i + kLanes <= end; i += kLanes) {
        const Doubles result = element(load(x, i), load(y, i));
        std::memcpy(out + i, &result, sizeof result);
    }
    for (; i < end; ++i) {
        double a, b;
        std::memcpy(&a, x + i * 8, 8);
        std::memcpy(&b, y + i * 8, 8);
        out[i] = element(a, b);
    }
}

}  // namespace qrl::numeric::simd
