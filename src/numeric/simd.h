// Element-wise kernels written once, for one double or for a vector of
// doubles (GCC vector extensions): the vector body and the scalar tail run
// the same formula, and IEEE operations are exact per lane, so the result
// never depends on which path an element took.
//
// This header is compiled once per instruction set (see vector_target.h):
// QRL_LANES matches the target's registers (2 for SSE2 and NEON, 4 for AVX2,
// 8 for AVX-512).  A vector wider than the registers would be split for
// arithmetic but not for compares and selects, which GCC then lowers lane by
// lane to scalar compares through the stack.  Everything here lives in the
// target's own inline namespace, so the copies never meet at link time.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "numeric/float_ops.h"
#include "numeric/vector_target.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace qrl::numeric::simd::inline QRL_TARGET {

constexpr std::int64_t kLanes = QRL_LANES;
using Doubles = double __attribute__((vector_size(kLanes * sizeof(double))));
using Mask = std::int64_t __attribute__((vector_size(kLanes * sizeof(double))));

// x in every lane of T (T = double: x itself).
// (The bits are broadcast as an integer: one instruction, where a lane-by-
// lane fill is not always recognised as one.)
template <class T>
QRL_VECTOR_INLINE T splat(double x) {
    if constexpr (sizeof(T) == sizeof(double)) {
        return x;
    } else {
        std::int64_t bits;
        std::memcpy(&bits, &x, sizeof bits);
        return reinterpret_cast<T>(Mask{} | bits);
    }
}

// A constant in both forms, built once outside the element loop.
struct Constant {
    double scalar;
    Doubles vector;

    QRL_VECTOR_INLINE explicit Constant(double x) : scalar(x), vector(splat<Doubles>(x)) {}

    template <class T>
    QRL_VECTOR_INLINE T as() const {
        if constexpr (sizeof(T) == sizeof(double)) {
            return scalar;
        } else {
            return vector;
        }
    }
};

QRL_VECTOR_INLINE Doubles load(const char* data, std::int64_t i) {
    Doubles v;
    std::memcpy(&v, data + i * static_cast<std::int64_t>(sizeof(double)), sizeof v);
    return v;
}

// Element j of an array of T (double, or kLanes interleaved doubles) kept in
// plain double storage, which need not be aligned for vectors.
template <class T>
QRL_VECTOR_INLINE T get(const double* a, std::int64_t j) {
    T v;
    std::memcpy(&v, a + j * static_cast<std::int64_t>(sizeof(T) / sizeof(double)), sizeof v);
    return v;
}

template <class T>
QRL_VECTOR_INLINE void put(double* a, std::int64_t j, T v) {
    std::memcpy(a + j * static_cast<std::int64_t>(sizeof(T) / sizeof(double)), &v, sizeof v);
}

// Bit `lane` set where that lane of m (all ones or all zeros) is set: one
// instruction where the target has it.
QRL_VECTOR_INLINE unsigned lane_bits(Mask m) {
#if defined(__AVX512F__) && QRL_LANES == 8
    return _mm512_cmplt_epi64_mask(reinterpret_cast<__m512i>(m), _mm512_setzero_si512());
#elif defined(__AVX__) && QRL_LANES == 4
    return static_cast<unsigned>(_mm256_movemask_pd(reinterpret_cast<__m256d>(m)));
#elif defined(__SSE2__) && QRL_LANES == 2
    return static_cast<unsigned>(_mm_movemask_pd(reinterpret_cast<__m128d>(m)));
#else
    unsigned bits = 0;
    for (int lane = 0; lane < kLanes; ++lane) bits |= (m[lane] != 0 ? 1u : 0u) << lane;
    return bits;
#endif
}
inline constexpr unsigned kAllLanes = (1u << kLanes) - 1;

QRL_VECTOR_INLINE double select(bool take_first, double first, double second) { return take_first ? first : second; }
QRL_VECTOR_INLINE Doubles select(Mask take_first, Doubles first, Doubles second) { return take_first ? first : second; }

using numeric::max_num;
using numeric::min_num;

QRL_VECTOR_INLINE Doubles min_num(Doubles a, Doubles b) {
    Doubles m = (a < b) ? a : b;
    const Mask equal_bits = reinterpret_cast<Mask>(a) & (a == b);
    m = reinterpret_cast<Doubles>(reinterpret_cast<Mask>(m) | equal_bits);
    return (b != b) ? a : m;
}

QRL_VECTOR_INLINE Doubles max_num(Doubles a, Doubles b) {
    Doubles m = (a > b) ? a : b;
    const Mask keep = reinterpret_cast<Mask>(a) | ~(a == b);
    m = reinterpret_cast<Doubles>(reinterpret_cast<Mask>(m) & keep);
    return (b != b) ? a : m;
}

// The lanes of v in the order given (constants, so one shuffle instruction).
// GCC 11 only has __builtin_shuffle; clang only __builtin_shufflevector.
template <int... Lanes>
QRL_VECTOR_INLINE Doubles permute(Doubles v) {
    static_assert(sizeof...(Lanes) == kLanes);
#if defined(__clang__)
    return __builtin_shufflevector(v, v, Lanes...);
#else
    return __builtin_shuffle(v, Mask{Lanes...});
#endif
}

QRL_VECTOR_INLINE double load_one(const char* data, std::int64_t i) {
    double v;
    std::memcpy(&v, data + i * static_cast<std::int64_t>(sizeof(double)), sizeof v);
    return v;
}

// out[i] = element(x[i], ...) for i in [begin, end), over inputs of unit
// stride.  `element` is a generic callable taking doubles and Doubles.
template <class Element, class... Inputs>
QRL_VECTOR_INLINE void map(double* __restrict out, std::int64_t begin, std::int64_t end, Element element,
                           Inputs... inputs) {
    std::int64_t i = begin;
    // Elements one by one until the output is vector-aligned, so no vector
    // store splits a cache line (NumPy's arrays are 16-byte aligned, enough
    // for 2 lanes).  Both forms give the same bits: no result changes.
    if constexpr (kLanes > 2) {
        const auto offset = reinterpret_cast<std::uintptr_t>(out + begin) % sizeof(Doubles);
        const auto head = static_cast<std::int64_t>((sizeof(Doubles) - offset) % sizeof(Doubles) / sizeof(double));
        const std::int64_t aligned = std::min(end, begin + head);
        for (; i < aligned; ++i) out[i] = element(load_one(inputs, i)...);
    }
    for (; i + kLanes <= end; i += kLanes) {
        const Doubles result = element(load(inputs, i)...);
        std::memcpy(out + i, &result, sizeof result);
    }
    for (; i < end; ++i) out[i] = element(load_one(inputs, i)...);
}

}  // namespace qrl::numeric::simd::inline QRL_TARGET
