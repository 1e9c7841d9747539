// The blocks of the masked passes, compiled once per instruction set: the
// kept sums, the whitening, the row broadcast and the KL estimates.  Packed
// columns go through vector lanes, any other stride element by element; both
// perform the same IEEE operations in the same order, so every path and
// layout gives the same bits.
#include <cmath>
#include <cstdint>
#include <cstring>

#include "kernels/lane_io.h"
#include "kernels/masked_kernels.h"
#include "kernels/vector_ranges.h"
#include "numeric/exp_lanes.h"
#include "numeric/simd.h"

namespace qrl::kernels::QRL_TARGET {
namespace {

namespace simd = numeric::simd;
using numeric::FlagMatrix;
using numeric::OutputMatrix;
using numeric::Precision;
using numeric::ValueMatrix;
using simd::Doubles;
using simd::kLanes;
using simd::Mask;
using namespace lane_io;

template <class F>
QRL_VECTOR_INLINE void with_type(Precision precision, F&& f) {
    if (precision == Precision::Float32)
        f(float{});
    else
        f(double{});
}

// The kept sum of one block: element j into accumulator j mod 8, the eight
// combined pairwise.  Eight accumulators are 8 / kLanes vectors.
template <class In, bool kCentred, bool kUnit>
QRL_VECTOR_INLINE double block_sum(const char* p, std::int64_t stride, std::int64_t length, const Flag* keep,
                                   double mean) {
    double acc[8] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    std::int64_t j = 0;
    if constexpr (kUnit) {
        constexpr int kVectors = 8 / kLanes;
        Doubles lanes[kVectors];
        for (auto& v : lanes) v = simd::splat<Doubles>(0.0);
        const Doubles centre = simd::splat<Doubles>(mean), zero = simd::splat<Doubles>(0.0);
        for (; j + 8 <= length; j += 8)
            for (int q = 0; q < kVectors; ++q) {
                const std::int64_t at = j + q * kLanes;
                Doubles x = load_lanes<In>(p + at * static_cast<std::int64_t>(sizeof(In)));
                if constexpr (kCentred) {
                    x -= centre;
                    x *= x;
                }
                lanes[q] += choose(kept_lanes(keep + at), x, zero);
            }
        std::memcpy(acc, lanes, sizeof acc);
    }
    for (; j < length; ++j) {
        double x = load_as<In>(p + j * stride);
        if constexpr (kCentred) {
            x -= mean;
            x *= x;
        }
        acc[j & 7] += keep[j] ? x : 0.0;
    }
    return ((acc[0] + acc[1]) + (acc[2] + acc[3])) + ((acc[4] + acc[5]) + (acc[6] + acc[7]));
}

template <class In, class Out, bool kUnit, bool kShift, Unmasked kUnmasked>
QRL_VECTOR_INLINE void whiten_block(const char* v, std::int64_t vs, char* o, std::int64_t os, std::int64_t length,
                                    const Flag* keep, double mean, double scale) {
    const auto whitened = [&](auto x, auto kept) QRL_LAMBDA_INLINE {
        using T = decltype(x);
        T w = (x - simd::splat<T>(mean)) * simd::splat<T>(scale);
        if constexpr (!kShift) w += simd::splat<T>(mean);
        if constexpr (kUnmasked == Unmasked::Zero) w = choose(kept, w, simd::splat<T>(0.0));
        if constexpr (kUnmasked == Unmasked::TimesMask) w = choose(kept, w, w * simd::splat<T>(0.0));
        return w;
    };
    std::int64_t j = 0;
    if constexpr (kUnit) {
        constexpr auto in = static_cast<std::int64_t>(sizeof(In)), out = static_cast<std::int64_t>(sizeof(Out));
        for (; j + kLanes <= length; j += kLanes) {
            const Mask kept = kUnmasked == Unmasked::Whitened ? Mask{} : kept_lanes(keep + j);
            store_lanes<Out>(o + j * out, whitened(load_lanes<In>(v + j * in), kept));
        }
    }
    for (; j < length; ++j)
        store_one<Out>(o + j * os,
                       whitened(double{load_as<In>(v + j * vs)}, kUnmasked == Unmasked::Whitened || keep[j]));
}

template <KlEstimator kEstimator>
QRL_VECTOR_INLINE double kl_estimate(double logprob, double ref_logprob) {
    const auto clamped = [](double x, double low, double high) { return x < low ? low : (x > high ? high : x); };
    if constexpr (kEstimator == KlEstimator::K1) return logprob - ref_logprob;
    if constexpr (kEstimator == KlEstimator::Abs) return std::fabs(logprob - ref_logprob);
    if constexpr (kEstimator == KlEstimator::K2) {
        const double d = logprob - ref_logprob;
        return 0.5 * (d * d);
    }
    const double x = clamped(ref_logprob - logprob, -20.0, 20.0);
    return clamped((simd::bounded_exp(x) - x) - 1.0, -10.0, 10.0);
}

// The estimates in lanes (|d| clears the sign bit, as fabs; a NaN passes
// both clamps).
QRL_VECTOR_INLINE Doubles clamped_lanes(Doubles x, double low, double high) {
    const Doubles lo = simd::splat<Doubles>(low), hi = simd::splat<Doubles>(high);
    return choose(x < lo, lo, choose(x > hi, hi, x));
}

template <KlEstimator kEstimator>
QRL_VECTOR_INLINE Doubles kl_lanes(Doubles logprob, Doubles ref_logprob) {
    if constexpr (kEstimator == KlEstimator::K3) {
        const Doubles x = clamped_lanes(ref_logprob - logprob, -20.0, 20.0);
        return clamped_lanes((simd::bounded_exp(x) - x) - simd::splat<Doubles>(1.0), -10.0, 10.0);
    }
    const Doubles d = logprob - ref_logprob;
    if constexpr (kEstimator == KlEstimator::K1) return d;
    if constexpr (kEstimator == KlEstimator::Abs)
        return reinterpret_cast<Doubles>(reinterpret_cast<Mask>(d) & (Mask{} | std::int64_t{0x7fffffffffffffff}));
    return simd::splat<Doubles>(0.5) * (d * d);
}

template <class In, class Out, KlEstimator kEstimator, bool kUnit>
QRL_VECTOR_INLINE void kl_block(const KlBlock& b, std::int64_t i, std::int64_t begin, std::int64_t length) {
    Flag keep[kSumBlock];
    row_flags(b.mask, i, begin, length, keep);
    const ValueMatrix &logprob = b.logprob, &ref = b.ref_logprob, &rewards = b.rewards;
    constexpr auto in = static_cast<std::int64_t>(sizeof(In)), out = static_cast<std::int64_t>(sizeof(Out));
    const std::int64_t ls = kUnit ? in : logprob.column_stride, rs = kUnit ? in : ref.column_stride;
    const std::int64_t ws = kUnit ? in : rewards.column_stride, os = kUnit ? out : b.out.column_stride;
    const char* lp = logprob.data + i * logprob.row_stride + begin * ls;
    const char* rp = ref.data + i * ref.row_stride + begin * rs;
    const char* wp = rewards.present() ? rewards.data + i * rewards.row_stride + begin * ws : nullptr;
    char* o = b.out.data + i * b.out.row_stride + begin * os;
    const auto finish = [&](auto kl, auto kept, auto reward) QRL_LAMBDA_INLINE {
        using T = decltype(kl);
        const T masked = choose(kept, kl, kl * simd::splat<T>(0.0));
        return wp ? reward - simd::splat<T>(b.beta) * masked : masked;
    };
    std::int64_t j = 0;
    if constexpr (kUnit) {
        for (; j + kLanes <= length; j += kLanes) {
            const Doubles kl = kl_lanes<kEstimator>(load_lanes<In>(lp + j * ls), load_lanes<In>(rp + j * rs));
            const Doubles reward = wp ? load_lanes<In>(wp + j * ws) : Doubles{};
            store_lanes<Out>(o + j * os, finish(kl, kept_lanes(keep + j), reward));
        }
    }
    for (; j < length; ++j) {
        const double kl = kl_estimate<kEstimator>(load_as<In>(lp + j * ls), load_as<In>(rp + j * rs));
        const double reward = wp ? double{load_as<In>(wp + j * ws)} : 0.0;
        store_one<Out>(o + j * os, finish(kl, keep[j] != 0, reward));
    }
}

bool packed(std::int64_t stride, Precision precision) { return stride == numeric::element_size(precision); }

}  // namespace

void masked_block_sum(const ValueMatrix& values, const FlagMatrix& mask, std::int64_t i, std::int64_t begin,
                      std::int64_t length, const double* centre, double* sum, std::int64_t* kept) {
    Flag keep[kSumBlock];
    row_flags(mask, i, begin, length, keep);
    std::int64_t count = 0;
    for (std::int64_t j = 0; j < length; ++j) count -= keep[j];
    *kept = count;
    const char* p = values.data + i * values.row_stride + begin * values.column_stride;
    const std::int64_t stride = values.column_stride;
    const bool unit = packed(stride, values.precision);
    with_type(values.precision, [&](auto in) QRL_LAMBDA_INLINE {
        using In = decltype(in);
        if (centre)
            *sum = unit ? block_sum<In, true, true>(p, stride, length, keep, *centre)
                        : block_sum<In, true, false>(p, stride, length, keep, *centre);
        else
            *sum = unit ? block_sum<In, false, true>(p, stride, length, keep, 0.0)
                        : block_sum<In, false, false>(p, stride, length, keep, 0.0);
    });
}

void masked_whiten_block(const WhiteningBlock& b, std::int64_t i, std::int64_t begin, std::int64_t length) {
    Flag keep[kSumBlock];
    if (b.unmasked != Unmasked::Whitened) row_flags(b.mask, i, begin, length, keep);  // else unread
    const char* v = b.values.data + i * b.values.row_stride + begin * b.values.column_stride;
    char* o = b.out.data + i * b.out.row_stride + begin * b.out.column_stride;
    const std::int64_t vs = b.values.column_stride, os = b.out.column_stride;
    const bool unit = packed(vs, b.values.precision) && packed(os, b.out.precision);
    with_type(b.values.precision, [&](auto in) QRL_LAMBDA_INLINE {
        with_type(b.out.precision, [&](auto to) QRL_LAMBDA_INLINE {
            using In = decltype(in);
            using Out = decltype(to);
            const auto run = [&](auto unit_columns, auto shift) QRL_LAMBDA_INLINE {
                constexpr bool kUnit = decltype(unit_columns)::value, kShift = decltype(shift)::value;
                switch (b.unmasked) {
                    case Unmasked::Whitened:
                        return whiten_block<In, Out, kUnit, kShift, Unmasked::Whitened>(v, vs, o, os, length, keep,
                                                                                        b.mean, b.scale);
                    case Unmasked::Zero:
                        return whiten_block<In, Out, kUnit, kShift, Unmasked::Zero>(v, vs, o, os, length, keep, b.mean,
                                                                                    b.scale);
                    case Unmasked::TimesMask:
                        return whiten_block<In, Out, kUnit, kShift, Unmasked::TimesMask>(v, vs, o, os, length, keep,
                                                                                         b.mean, b.scale);
                }
            };
            if (unit)
                b.shift_mean ? run(std::true_type{}, std::true_type{}) : run(std::true_type{}, std::false_type{});
            else
                b.shift_mean ? run(std::false_type{}, std::true_type{}) : run(std::false_type{}, std::false_type{});
        });
    });
}

void broadcast_block(double value, const FlagMatrix& mask, const OutputMatrix& out, std::int64_t i, std::int64_t begin,
                     std::int64_t length) {
    Flag keep[kSumBlock];
    row_flags(mask, i, begin, length, keep);
    const double zero = value * 0.0;
    char* o = out.data + i * out.row_stride + begin * out.column_stride;
    const std::int64_t os = out.column_stride;
    with_type(out.precision, [&](auto to) QRL_LAMBDA_INLINE {
        using Out = decltype(to);
        std::int64_t j = 0;
        if (packed(os, out.precision)) {
            const Doubles set = simd::splat<Doubles>(value), unset = simd::splat<Doubles>(zero);
            for (; j + kLanes <= length; j += kLanes)
                store_lanes<Out>(o + j * static_cast<std::int64_t>(sizeof(Out)),
                                 choose(kept_lanes(keep + j), set, unset));
        }
        for (; j < length; ++j) store_one<Out>(o + j * os, keep[j] ? value : zero);
    });
}

void kl_penalty_block(const KlBlock& b, std::int64_t i, std::int64_t begin, std::int64_t length) {
    const bool unit = packed(b.logprob.column_stride, b.logprob.precision) &&
                      packed(b.ref_logprob.column_stride, b.ref_logprob.precision) &&
                      (!b.rewards.present() || packed(b.rewards.column_stride, b.rewards.precision)) &&
                      packed(b.out.column_stride, b.out.precision);
    with_type(b.logprob.precision, [&](auto in) QRL_LAMBDA_INLINE {
        with_type(b.out.precision, [&](auto to) QRL_LAMBDA_INLINE {
            using In = decltype(in);
            using Out = decltype(to);
            const auto run = [&](auto estimator) QRL_LAMBDA_INLINE {
                constexpr KlEstimator kEstimator = decltype(estimator)::value;
                unit ? kl_block<In, Out, kEstimator, true>(b, i, begin, length)
                     : kl_block<In, Out, kEstimator, false>(b, i, begin, length);
            };
            switch (b.estimator) {
                case KlEstimator::K1: return run(std::integral_constant<KlEstimator, KlEstimator::K1>{});
                case KlEstimator::Abs: return run(std::integral_constant<KlEstimator, KlEstimator::Abs>{});
                case KlEstimator::K2: return run(std::integral_constant<KlEstimator, KlEstimator::K2>{});
                case KlEstimator::K3: return run(std::integral_constant<KlEstimator, KlEstimator::K3>{});
            }
        });
    });
}

}  // namespace qrl::kernels::QRL_TARGET
