// Packed values and flags in and out of vector lanes, for the kernels that
// are compiled once per instruction set: float32 or float64 widened to
// doubles, results rounded once to their destination, flags of any element
// type as whole-lane masks.
#pragma once

#include <cstdint>
#include <cstring>

#include "numeric/arrays.h"
#include "numeric/flags.h"
#include "numeric/simd.h"

namespace qrl::kernels::QRL_TARGET::lane_io {

using numeric::simd::Doubles;
using numeric::simd::kLanes;
using numeric::simd::Mask;

using Floats = float __attribute__((vector_size(kLanes * sizeof(float))));

template <class T>
QRL_VECTOR_INLINE T load_as(const char* p) {
    T x;
    std::memcpy(&x, p, sizeof x);
    return x;
}

// kLanes packed values of type In, widened.
template <class In>
QRL_VECTOR_INLINE Doubles load_lanes(const char* p) {
    if constexpr (sizeof(In) == sizeof(float))
        return __builtin_convertvector(load_as<Floats>(p), Doubles);
    else
        return load_as<Doubles>(p);
}

// kLanes values rounded once to Out, stored packed.
template <class Out>
QRL_VECTOR_INLINE void store_lanes(char* p, Doubles v) {
    if constexpr (sizeof(Out) == sizeof(float)) {
        const Floats rounded = __builtin_convertvector(v, Floats);
        std::memcpy(p, &rounded, sizeof rounded);
    } else {
        std::memcpy(p, &v, sizeof v);
    }
}

template <class Out>
QRL_VECTOR_INLINE void store_one(char* p, double x) {
    const auto y = static_cast<Out>(x);
    std::memcpy(p, &y, sizeof y);
}

// A block's flags as whole lanes: -1 where set, 0 elsewhere, so kLanes of
// them load as a vector mask.
using Flag = std::int64_t;

QRL_VECTOR_INLINE Mask kept_lanes(const Flag* keep) { return load_as<Mask>(reinterpret_cast<const char*>(keep)); }

// first where the lanes of `kept` are all ones, second where they are zero:
// a bitwise blend, which every instruction set has (SSE2 has no 64-bit
// compare for the vector ?: to use).
QRL_VECTOR_INLINE Doubles choose(Mask kept, Doubles first, Doubles second) {
    return reinterpret_cast<Doubles>((kept & reinterpret_cast<Mask>(first)) | (~kept & reinterpret_cast<Mask>(second)));
}
QRL_VECTOR_INLINE double choose(bool kept, double first, double second) { return kept ? first : second; }

template <class Word, bool kPacked>
QRL_VECTOR_INLINE void flag_lanes(const numeric::FlagMatrix& f, const char* p, std::int64_t length, Flag* keep) {
    const auto bits = static_cast<Word>(f.bits);
    const std::int64_t stride = kPacked ? static_cast<std::int64_t>(sizeof(Word)) : f.column_stride;
    for (std::int64_t s = 0; s < length; ++s) keep[s] = (load_as<Word>(p + s * stride) & bits) != 0 ? -1 : 0;
}

template <class Word>
QRL_VECTOR_INLINE void flag_lanes(const numeric::FlagMatrix& f, const char* p, std::int64_t length, Flag* keep) {
    if (f.column_stride == static_cast<std::int64_t>(sizeof(Word)))
        flag_lanes<Word, true>(f, p, length, keep);
    else
        flag_lanes<Word, false>(f, p, length, keep);
}

// The flags of row i, columns begin..begin+length-1 (all set without a mask).
QRL_VECTOR_INLINE void row_flags(const numeric::FlagMatrix& mask, std::int64_t i, std::int64_t begin,
                                 std::int64_t length, Flag* keep) {
    if (!mask.present()) {
        for (std::int64_t s = 0; s < length; ++s) keep[s] = -1;
        return;
    }
    const char* p = mask.data + i * mask.row_stride + begin * mask.column_stride;
    switch (mask.size) {
        case 1: return flag_lanes<std::uint8_t>(mask, p, length, keep);
        case 2: return flag_lanes<std::uint16_t>(mask, p, length, keep);
        case 4: return flag_lanes<std::uint32_t>(mask, p, length, keep);
        default: return flag_lanes<std::uint64_t>(mask, p, length, keep);
    }
}

}  // namespace qrl::kernels::QRL_TARGET::lane_io
