// Group-relative advantages in vector lanes, compiled once per instruction
// set: the one engine of every group function.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "kernels/group_lanes.h"
#include "kernels/lane_medians.h"
#include "kernels/vector_ranges.h"
#include "numeric/median.h"
#include "numeric/simd.h"

namespace qrl::kernels::QRL_TARGET {
namespace {

using group_lanes::median_of;
using group_lanes::minimum_of;
using group_lanes::sum_in_index_order;

using numeric::Precision;
namespace simd = numeric::simd;
using simd::Doubles;
using simd::get;
using simd::kLanes;
using simd::put;

// a holds the n rewards of a group (or kLanes interleaved groups) on entry
// and their advantages on exit; `statistics` is null when the groups are
// not standardised one by one.
template <class T>
QRL_VECTOR_INLINE void advantages_in_place(double* a, std::int64_t n, GroupBaseline baseline, const T& median,
                                           const Standardisation* statistics) {
    const T count = simd::splat<T>(static_cast<double>(n));
    if (baseline == GroupBaseline::LeaveOneOut) {
        // Each member's baseline is the group total less its own reward,
        // over the n - 1 others; a lone member is its own baseline.
        if (n == 1) {
            put(a, 0, get<T>(a, 0) - get<T>(a, 0));
        } else {
            const T total = sum_in_index_order<T>(a, n);
            const T others = simd::splat<T>(static_cast<double>(n - 1));
            for (std::int64_t j = 0; j < n; ++j) {
                const T x = get<T>(a, j);
                put(a, j, x - (total - x) / others);
            }
        }
    } else {
        T b;
        switch (baseline) {
            case GroupBaseline::Mean: b = sum_in_index_order<T>(a, n) / count; break;
            case GroupBaseline::Min: b = minimum_of<T>(a, n); break;
            default: b = median; break;
        }
        for (std::int64_t j = 0; j < n; ++j) put(a, j, get<T>(a, j) - b);
    }
    if (statistics != nullptr) group_lanes::standardise_in_place<T>(a, n, *statistics);
}

// Group g: its rewards and the first of its result slots.
template <class In>
struct Group {
    numeric::Run<In> values;
    double* out;
};

// Groups begin..end-1: blocks of kLanes groups of one size in vector lanes,
// the rest one by one.
template <class GroupAt>
QRL_VECTOR_INLINE void groups_range(const GroupAt& group_at, GroupBaseline baseline, const Standardisation* statistics,
                                    std::int64_t begin, std::int64_t end) {
    std::vector<double> scratch, lanes, sorted;
    std::int64_t i = begin;
    while (i < end) {
        const auto first = group_at(i);
        const std::int64_t n = first.values.size;
        bool same_size = n > 0 && i + kLanes <= end;
        for (int lane = 1; same_size && lane < kLanes; ++lane) same_size = group_at(i + lane).values.size == n;
        if (baseline == GroupBaseline::Median && scratch.size() < static_cast<std::size_t>(n))
            scratch.resize(static_cast<std::size_t>(n));
        if (!same_size) {
            ++i;
            if (n == 0) continue;
            // The median is selected from the scratch copy before the
            // result slots are filled, so a group needs one copy only.
            const double median = baseline == GroupBaseline::Median ? median_of(first.values, scratch.data()) : 0.0;
            for (std::int64_t j = 0; j < n; ++j) first.out[j] = first.values[j];
            advantages_in_place<double>(first.out, n, baseline, median, statistics);
            continue;
        }
        // Member j of lane l at lanes[j * kLanes + l].
        lanes.resize(static_cast<std::size_t>(n * kLanes));
        Doubles median = simd::splat<Doubles>(0.0);
        bool any_nan = false;
        for (int lane = 0; lane < kLanes; ++lane) {
            const auto values = group_at(i + lane).values;
            for (std::int64_t j = 0; j < n; ++j) {
                const double x = values[j];
                any_nan |= (x != x);
                lanes[static_cast<std::size_t>(j * kLanes + lane)] = x;
            }
        }
        if (baseline == GroupBaseline::Median) {
            // With NaN the insertion order decides: those groups go one by one.
            if (n <= numeric::kNetworkLimit && !any_nan) {
                const numeric::SortingNetwork& network = numeric::sorting_network_for(n);
                sorted.resize(static_cast<std::size_t>(network.size * kLanes));
                median = medians_by_network(network, lanes.data(), n, sorted.data());
            } else {
                for (int lane = 0; lane < kLanes; ++lane)
                    median[lane] = median_of(group_at(i + lane).values, scratch.data());
            }
        }
        advantages_in_place<Doubles>(lanes.data(), n, baseline, median, statistics);
        for (int lane = 0; lane < kLanes; ++lane) {
            double* out = group_at(i + lane).out;
            for (std::int64_t j = 0; j < n; ++j) out[j] = lanes[static_cast<std::size_t>(j * kLanes + lane)];
        }
        i += kLanes;
    }
}

// kLanes (or one) unit-stride elements of In at j, widened.
template <class In, class T>
QRL_VECTOR_INLINE T row_at(const char* row, std::int64_t j) {
    if constexpr (sizeof(In) == sizeof(double)) {
        if constexpr (sizeof(T) == sizeof(double))
            return simd::load_one(row, j);
        else
            return simd::load(row, j);
    } else {
        if constexpr (sizeof(T) == sizeof(double)) {
            float x;
            std::memcpy(&x, row + j * 4, sizeof x);
            return x;
        } else {
            using Floats = float __attribute__((vector_size(kLanes * sizeof(float))));
            Floats x;
            std::memcpy(&x, row + j * 4, sizeof x);
            return __builtin_convertvector(x, Doubles);
        }
    }
}

// out[j] = element(row[j]) for a row of unit stride.
template <class In, class Element>
QRL_VECTOR_INLINE void map_row(const char* row, std::int64_t n, double* out, Element element) {
    std::int64_t j = 0;
    for (; j + kLanes <= n; j += kLanes) put(out + j, 0, element(row_at<In, Doubles>(row, j)));
    for (; j < n; ++j) out[j] = element(row_at<In, double>(row, j));
}

// out = row - b for a row of unit stride.
template <class In>
QRL_VECTOR_INLINE void subtract_row(const char* row, std::int64_t n, double b, double* out) {
    const simd::Constant baseline(b);
    map_row<In>(row, n, out, [&](auto x) QRL_LAMBDA_INLINE {
        using T = decltype(x);
        return x - baseline.as<T>();
    });
}

// out = row - (total - row) / (n - 1): each member against the mean of the
// others, for a row of unit stride.
template <class In>
QRL_VECTOR_INLINE void leave_one_out_row(const char* row, std::int64_t n, double total, double* out) {
    if (n == 1) {
        out[0] = row_at<In, double>(row, 0) - row_at<In, double>(row, 0);
        return;
    }
    const simd::Constant sum(total), others(static_cast<double>(n - 1));
    map_row<In>(row, n, out, [&](auto x) QRL_LAMBDA_INLINE {
        using T = decltype(x);
        return x - (sum.as<T>() - x) / others.as<T>();
    });
}

// The minimum baseline without standardisation needs no sequential sum:
// minNum gives the same result in any order, so a row of unit stride
// reduces in vector lanes along its own elements, and the subtraction is
// element-wise.
QRL_VECTOR_INLINE void min_baseline_row(const char* row, std::int64_t n, double* out) {
    // Four running minima, so the latency of one minNum does not stall the
    // next (a NaN never enters: minNum(infinity, NaN) is infinity).
    Doubles lanes[4];
    for (Doubles& v : lanes) v = simd::splat<Doubles>(INFINITY);
    std::int64_t j = 0;
    for (; j + 4 * kLanes <= n; j += 4 * kLanes)
        for (int k = 0; k < 4; ++k) lanes[k] = simd::min_num(lanes[k], simd::load(row, j + k * kLanes));
    for (; j + kLanes <= n; j += kLanes) lanes[0] = simd::min_num(lanes[0], simd::load(row, j));
    Doubles m = simd::min_num(simd::min_num(lanes[0], lanes[1]), simd::min_num(lanes[2], lanes[3]));
    // Across the lanes by halves in vector registers (a chain of scalar
    // minNum branches and mispredicts on random data).
    // (constant shuffles: GCC builds a computed index vector lane by lane)
#if QRL_LANES == 8
    m = simd::min_num(m, simd::permute<4, 5, 6, 7, 0, 1, 2, 3>(m));
    m = simd::min_num(m, simd::permute<2, 3, 0, 1, 6, 7, 4, 5>(m));
    m = simd::min_num(m, simd::permute<1, 0, 3, 2, 5, 4, 7, 6>(m));
#elif QRL_LANES == 4
    m = simd::min_num(m, simd::permute<2, 3, 0, 1>(m));
    m = simd::min_num(m, simd::permute<1, 0, 3, 2>(m));
#else
    static_assert(kLanes == 2);
    m = simd::min_num(m, simd::permute<1, 0>(m));
#endif
    double b = m[0];
    for (; j < n; ++j) b = numeric::min_num(b, simd::load_one(row, j));
    subtract_row<double>(row, n, b, out);
}

// Rows whose sums advance together: enough independent chains to cover the
// latency of an addition on every target.
constexpr std::int64_t kSumChains = 16;

template <class In, std::int64_t kRows>
QRL_VECTOR_INLINE void summed_rows_block(const numeric::ValueMatrix& rewards, GroupBaseline baseline, double* out,
                                         std::int64_t first, std::int64_t n) {
    const char* rows[kRows];
    double sums[kRows];
    for (std::int64_t r = 0; r < kRows; ++r) {
        rows[r] = rewards.data + (first + r) * rewards.row_stride;
        sums[r] = -0.0;
    }
    for (std::int64_t j = 0; j < n; ++j)
        for (std::int64_t r = 0; r < kRows; ++r) sums[r] = sums[r] + row_at<In, double>(rows[r], j);
    for (std::int64_t r = 0; r < kRows; ++r) {
        double* row_out = out + (first + r) * n;
        if (baseline == GroupBaseline::LeaveOneOut)
            leave_one_out_row<In>(rows[r], n, sums[r], row_out);
        else
            subtract_row<In>(rows[r], n, sums[r] / static_cast<double>(n), row_out);
    }
}

// Unit-stride rows without standardisation, mean or leave-one-out
// baseline: the sums of kSumChains rows advance together (independent
// chains, each in index order) straight from the rows, and the rest is
// element-wise.
template <class In>
QRL_VECTOR_INLINE void summed_rows(const numeric::ValueMatrix& rewards, GroupBaseline baseline, double* out,
                                   std::int64_t begin, std::int64_t end) {
    const std::int64_t n = rewards.columns;
    std::int64_t first = begin;
    for (; first + kSumChains <= end; first += kSumChains)
        summed_rows_block<In, kSumChains>(rewards, baseline, out, first, n);
    for (; first + 4 <= end; first += 4) summed_rows_block<In, 4>(rewards, baseline, out, first, n);
    for (; first < end; ++first) summed_rows_block<In, 1>(rewards, baseline, out, first, n);
}

template <class In>
void matrix_groups(const numeric::ValueMatrix& rewards, GroupBaseline baseline, const Standardisation* statistics,
                   double* out, std::int64_t begin, std::int64_t end) {
    const std::int64_t n = rewards.columns;
    groups_range(
        [&](std::int64_t i) {
            return Group<In>{{rewards.data + i * rewards.row_stride, n, rewards.column_stride}, out + i * n};
        },
        baseline, statistics, begin, end);
}

template <class In>
void ragged_groups(const numeric::ValueRun& rewards, const std::int64_t* lengths, const std::int64_t* offsets,
                   GroupBaseline baseline, const Standardisation* statistics, double* out, std::int64_t begin,
                   std::int64_t end) {
    groups_range(
        [&](std::int64_t i) {
            return Group<In>{{rewards.data + offsets[i] * rewards.stride, lengths[i], rewards.stride},
                             out + offsets[i]};
        },
        baseline, statistics, begin, end);
}

}  // namespace

// Groups begin..end-1 by the fastest strategy that gives the same bits.
void group_matrix_range(const numeric::ValueMatrix& rewards, GroupBaseline baseline, const Standardisation* statistics,
                        double* out, std::int64_t begin, std::int64_t end) {
    const std::int64_t n = rewards.columns;
    if (n == 0) return;
    const bool single = rewards.precision == Precision::Float32;
    const bool unit = rewards.column_stride == (single ? 4 : 8);
    if (statistics == nullptr && unit) {
        if (baseline == GroupBaseline::Min && !single) {
            for (std::int64_t i = begin; i < end; ++i)
                min_baseline_row(rewards.data + i * rewards.row_stride, n, out + i * n);
            return;
        }
        if (baseline == GroupBaseline::Mean || baseline == GroupBaseline::LeaveOneOut)
            return single ? summed_rows<float>(rewards, baseline, out, begin, end)
                          : summed_rows<double>(rewards, baseline, out, begin, end);
    }
    if (rewards.precision == Precision::Float32)
        matrix_groups<float>(rewards, baseline, statistics, out, begin, end);
    else
        matrix_groups<double>(rewards, baseline, statistics, out, begin, end);
}

void group_ragged_range(const numeric::ValueRun& rewards, const std::int64_t* lengths, const std::int64_t* offsets,
                        GroupBaseline baseline, const Standardisation* statistics, double* out, std::int64_t begin,
                        std::int64_t end) {
    if (rewards.precision == Precision::Float32)
        ragged_groups<float>(rewards, lengths, offsets, baseline, statistics, out, begin, end);
    else
        ragged_groups<double>(rewards, lengths, offsets, baseline, statistics, out, begin, end);
}

}  // namespace qrl::kernels::QRL_TARGET
