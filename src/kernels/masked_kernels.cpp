#include "kernels/masked_kernels.h"

#include <cmath>
#include <cstring>
#include <type_traits>
#include <utility>
#include <vector>

#include "kernels/costs.h"
#include "parallel/parallel_map.h"

namespace qrl::kernels {
namespace {

using numeric::FlagMatrix;
using numeric::OutputMatrix;
using numeric::Precision;
using numeric::ValueMatrix;

template <class T>
inline T load(const char* p) {
    T x;
    std::memcpy(&x, p, sizeof x);
    return x;
}

template <class Out>
inline void put(char* p, double x) {
    const auto y = static_cast<Out>(x);
    std::memcpy(p, &y, sizeof y);
}

// Calls f(In{}) with the C++ type of the precision.
template <class F>
inline void with_type(Precision precision, F&& f) {
    if (precision == Precision::Float32)
        f(float{});
    else
        f(double{});
}

// The flags of row i, columns begin..begin+length-1 (all set without a mask).
inline void row_flags(const FlagMatrix& mask, std::int64_t i, std::int64_t begin, std::int64_t length,
                      unsigned char* keep) {
    std::memset(keep, mask.present() ? 0 : 1, static_cast<std::size_t>(length));
    numeric::or_row_flags(mask, i, begin, length, keep);
}

// One block of kSumBlock columns of one row.
struct Blocks {
    std::int64_t rows, columns, per_row;
    explicit Blocks(const ValueMatrix& m)
        : rows(m.rows), columns(m.columns), per_row((m.columns + kSumBlock - 1) / kSumBlock) {}
    std::int64_t count() const { return rows * per_row; }
    std::int64_t row(std::int64_t b) const { return b / per_row; }
    std::int64_t begin(std::int64_t b) const { return (b % per_row) * kSumBlock; }
    std::int64_t length(std::int64_t b) const {
        const std::int64_t start = begin(b);
        return columns - start < kSumBlock ? columns - start : kSumBlock;
    }
};

// The kept sum of a block, in the documented order; centred: of (x - mean)^2.
// kUnit: packed columns, a stride the compiler knows (so the eight
// independent accumulators go into vector lanes; the order is unchanged).
template <class In, bool kCentred, bool kUnit>
double block_sum(const ValueMatrix& m, std::int64_t i, std::int64_t begin, std::int64_t length,
                 const unsigned char* keep, double mean) {
    const std::int64_t stride = kUnit ? static_cast<std::int64_t>(sizeof(In)) : m.column_stride;
    const char* p = m.data + i * m.row_stride + begin * stride;
    double acc[8] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    const auto term = [&](std::int64_t j) {
        double x = load<In>(p + j * stride);
        if constexpr (kCentred) {
            x -= mean;
            x *= x;
        }
        return keep[j] ? x : 0.0;
    };
    std::int64_t j = 0;
    for (; j + 8 <= length; j += 8)
        for (int k = 0; k < 8; ++k) acc[k] += term(j + k);
    for (; j < length; ++j) acc[j & 7] += term(j);
    return ((acc[0] + acc[1]) + (acc[2] + acc[3])) + ((acc[4] + acc[5]) + (acc[6] + acc[7]));
}

// The kept sum over the matrix and the kept count: blocks in parallel, their
// sums added in block order.
template <bool kCentred>
double masked_sum(const ValueMatrix& values, const FlagMatrix& mask, double mean, std::int64_t* count) {
    const Blocks blocks(values);
    std::vector<double> sums(static_cast<std::size_t>(blocks.count()));
    std::vector<std::int64_t> counts(static_cast<std::size_t>(blocks.count()));
    with_type(values.precision, [&](auto in) {
        using In = decltype(in);
        const bool unit = values.column_stride == static_cast<std::int64_t>(sizeof(In));
        parallel::parallel_map(
            blocks.count(), costs::kMaskedSumElementNs * kSumBlock, [&](std::int64_t first, std::int64_t last) {
                unsigned char keep[kSumBlock];
                for (std::int64_t b = first; b < last; ++b) {
                    const std::int64_t i = blocks.row(b), begin = blocks.begin(b), length = blocks.length(b);
                    row_flags(mask, i, begin, length, keep);
                    sums[b] = unit ? block_sum<In, kCentred, true>(values, i, begin, length, keep, mean)
                                   : block_sum<In, kCentred, false>(values, i, begin, length, keep, mean);
                    std::int64_t kept = 0;
                    for (std::int64_t j = 0; j < length; ++j) kept += keep[j];
                    counts[b] = kept;
                }
            });
    });
    double total = 0.0;
    std::int64_t kept = 0;
    for (std::size_t b = 0; b < sums.size(); ++b) {
        total += sums[b];
        kept += counts[b];
    }
    *count = kept;
    return total;
}

// Runs row_kernel(i, begin, length) over every block, on the pool.
template <class RowKernel>
void each_block(const Blocks& blocks, double ns_per_element, RowKernel&& row_kernel) {
    parallel::parallel_map(blocks.count(), ns_per_element * kSumBlock, [&](std::int64_t first, std::int64_t last) {
        for (std::int64_t b = first; b < last; ++b) row_kernel(blocks.row(b), blocks.begin(b), blocks.length(b));
    });
}

// One block of the whitening, the choices made outside the loop.
template <class In, class Out, bool kUnit, bool kShift, Unmasked kUnmasked>
void whiten_block(const char* v, std::int64_t value_stride, char* o, std::int64_t out_stride, std::int64_t length,
                  const unsigned char* keep, double mean, double scale) {
    const std::int64_t vs = kUnit ? static_cast<std::int64_t>(sizeof(In)) : value_stride;
    const std::int64_t os = kUnit ? static_cast<std::int64_t>(sizeof(Out)) : out_stride;
    for (std::int64_t j = 0; j < length; ++j) {
        double w = (load<In>(v + j * vs) - mean) * scale;
        if constexpr (!kShift) w += mean;
        if constexpr (kUnmasked == Unmasked::Zero) w = keep[j] ? w : 0.0;
        if constexpr (kUnmasked == Unmasked::TimesMask) w = keep[j] ? w : w * 0.0;
        put<Out>(o + j * os, w);
    }
}

template <class In, class Out, bool kUnit, bool kShift>
void whiten_block(Unmasked unmasked, const char* v, std::int64_t vs, char* o, std::int64_t os, std::int64_t length,
                  const unsigned char* keep, double mean, double scale) {
    switch (unmasked) {
        case Unmasked::Whitened:
            return whiten_block<In, Out, kUnit, kShift, Unmasked::Whitened>(v, vs, o, os, length, keep, mean, scale);
        case Unmasked::Zero:
            return whiten_block<In, Out, kUnit, kShift, Unmasked::Zero>(v, vs, o, os, length, keep, mean, scale);
        case Unmasked::TimesMask:
            return whiten_block<In, Out, kUnit, kShift, Unmasked::TimesMask>(v, vs, o, os, length, keep, mean, scale);
    }
}

inline double clamped(double x, double low, double high) { return x < low ? low : (x > high ? high : x); }

template <KlEstimator kEstimator>
inline double kl_estimate(double logprob, double ref_logprob) {
    if constexpr (kEstimator == KlEstimator::K1) return logprob - ref_logprob;
    if constexpr (kEstimator == KlEstimator::Abs) return std::fabs(logprob - ref_logprob);
    if constexpr (kEstimator == KlEstimator::K2) {
        const double d = logprob - ref_logprob;
        return 0.5 * (d * d);
    }
    const double x = clamped(ref_logprob - logprob, -20.0, 20.0);
    return clamped((std::exp(x) - x) - 1.0, -10.0, 10.0);
}

template <class In, class Out, KlEstimator kEstimator>
void kl_rows(const ValueMatrix& logprob, const ValueMatrix& ref, const FlagMatrix& mask, const ValueMatrix& rewards,
             double beta, const OutputMatrix& out) {
    const Blocks blocks(logprob);
    each_block(blocks, costs::kElementwiseNs, [&](std::int64_t i, std::int64_t begin, std::int64_t length) {
        unsigned char keep[kSumBlock];
        row_flags(mask, i, begin, length, keep);
        const char* lp = logprob.data + i * logprob.row_stride + begin * logprob.column_stride;
        const char* rp = ref.data + i * ref.row_stride + begin * ref.column_stride;
        char* o = out.data + i * out.row_stride + begin * out.column_stride;
        for (std::int64_t j = 0; j < length; ++j) {
            const double kl =
                kl_estimate<kEstimator>(load<In>(lp + j * logprob.column_stride), load<In>(rp + j * ref.column_stride));
            const double kept = keep[j] ? kl : kl * 0.0;
            double result = kept;
            if (rewards.present())
                result =
                    load<In>(rewards.data + i * rewards.row_stride + (begin + j) * rewards.column_stride) - beta * kept;
            put<Out>(o + j * out.column_stride, result);
        }
    });
}

}  // namespace

bool unmasked_from_name(std::string_view name, Unmasked* unmasked) {
    static constexpr std::pair<std::string_view, Unmasked> kNames[] = {
        {"whitened", Unmasked::Whitened}, {"zero", Unmasked::Zero}, {"times_mask", Unmasked::TimesMask}};
    for (const auto& [known, value] : kNames)
        if (name == known) {
            *unmasked = value;
            return true;
        }
    return false;
}

bool kl_estimator_from_name(std::string_view name, KlEstimator* estimator) {
    static constexpr std::pair<std::string_view, KlEstimator> kNames[] = {
        {"k1", KlEstimator::K1},  {"kl", KlEstimator::K1}, {"abs", KlEstimator::Abs},      {"k2", KlEstimator::K2},
        {"mse", KlEstimator::K2}, {"k3", KlEstimator::K3}, {"low_var_kl", KlEstimator::K3}};
    for (const auto& [known, value] : kNames)
        if (name == known) {
            *estimator = value;
            return true;
        }
    return false;
}

bool masked_moments(const ValueMatrix& values, const FlagMatrix& mask, const MaskedStatistics& statistics,
                    Moments* moments) {
    std::int64_t n = 0;
    const double sum = masked_sum<false>(values, mask, 0.0, &n);
    moments->count = n;
    if (statistics.ddof > 0 && n <= statistics.ddof) return false;
    double divisor, factor = 1.0;
    if (statistics.float32_counts) {
        const auto count = static_cast<float>(n);
        divisor = static_cast<float>(count + static_cast<float>(statistics.count_epsilon));
        if (statistics.ddof > 0) factor = count / static_cast<float>(n - statistics.ddof);
    } else {
        divisor = static_cast<double>(n) + statistics.count_epsilon;
        if (statistics.ddof > 0) factor = static_cast<double>(n) / static_cast<double>(n - statistics.ddof);
    }
    moments->mean = sum / divisor;
    std::int64_t unused = 0;
    const double squares = masked_sum<true>(values, mask, moments->mean, &unused);
    moments->variance = statistics.ddof > 0 ? (squares / divisor) * factor : squares / divisor;
    return true;
}

void masked_whitening(const ValueMatrix& values, const FlagMatrix& mask, const Moments& moments, double epsilon,
                      bool shift_mean, Unmasked unmasked, const OutputMatrix& out) {
    const double mean = moments.mean, scale = 1.0 / std::sqrt(moments.variance + epsilon);
    const Blocks blocks(values);
    with_type(values.precision, [&](auto in) {
        with_type(out.precision, [&](auto to) {
            using In = decltype(in);
            using Out = decltype(to);
            each_block(blocks, costs::kElementwiseNs, [&](std::int64_t i, std::int64_t begin, std::int64_t length) {
                unsigned char keep[kSumBlock];
                if (unmasked != Unmasked::Whitened) row_flags(mask, i, begin, length, keep);  // else unread
                const char* v = values.data + i * values.row_stride + begin * values.column_stride;
                char* o = out.data + i * out.row_stride + begin * out.column_stride;
                const std::int64_t vs = values.column_stride, os = out.column_stride;
                const auto run = [&](auto unit, auto shift) {
                    whiten_block<In, Out, decltype(unit)::value, decltype(shift)::value>(unmasked, v, vs, o, os, length,
                                                                                         keep, mean, scale);
                };
                const bool unit =
                    vs == static_cast<std::int64_t>(sizeof(In)) && os == static_cast<std::int64_t>(sizeof(Out));
                if (unit)
                    shift_mean ? run(std::true_type{}, std::true_type{}) : run(std::true_type{}, std::false_type{});
                else
                    shift_mean ? run(std::false_type{}, std::true_type{}) : run(std::false_type{}, std::false_type{});
            });
        });
    });
}

void broadcast_row_values(const numeric::ValueRun& values, const FlagMatrix& mask, const OutputMatrix& out) {
    const ValueMatrix shape{nullptr, out.rows, out.columns, 0, 0, values.precision};
    const Blocks blocks(shape);
    with_type(out.precision, [&](auto to) {
        using Out = decltype(to);
        each_block(blocks, costs::kStoreElementNs, [&](std::int64_t i, std::int64_t begin, std::int64_t length) {
            unsigned char keep[kSumBlock];
            row_flags(mask, i, begin, length, keep);
            const double value = values[i], zero = value * 0.0;
            char* o = out.data + i * out.row_stride + begin * out.column_stride;
            for (std::int64_t j = 0; j < length; ++j) put<Out>(o + j * out.column_stride, keep[j] ? value : zero);
        });
    });
}

void kl_penalty(const ValueMatrix& logprob, const ValueMatrix& ref_logprob, KlEstimator estimator,
                const FlagMatrix& mask, const ValueMatrix& rewards, double beta, const OutputMatrix& out) {
    with_type(logprob.precision, [&](auto in) {
        with_type(out.precision, [&](auto to) {
            using In = decltype(in);
            using Out = decltype(to);
            switch (estimator) {
                case KlEstimator::K1:
                    return kl_rows<In, Out, KlEstimator::K1>(logprob, ref_logprob, mask, rewards, beta, out);
                case KlEstimator::Abs:
                    return kl_rows<In, Out, KlEstimator::Abs>(logprob, ref_logprob, mask, rewards, beta, out);
                case KlEstimator::K2:
                    return kl_rows<In, Out, KlEstimator::K2>(logprob, ref_logprob, mask, rewards, beta, out);
                case KlEstimator::K3:
                    return kl_rows<In, Out, KlEstimator::K3>(logprob, ref_logprob, mask, rewards, beta, out);
            }
        });
    });
}

}  // namespace qrl::kernels
