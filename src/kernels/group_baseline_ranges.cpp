// Group baselines in vector lanes, compiled once per instruction set.
#include <cmath>
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

using numeric::DoubleRun;
namespace simd = numeric::simd;
using simd::Doubles;
using simd::get;
using simd::kLanes;
using simd::put;

// a holds the n rewards of a group (or kLanes interleaved groups) on entry
// and their advantages on exit.
template <class T>
QRL_VECTOR_INLINE void advantages_in_place(double* a, std::int64_t n, GroupBaseline baseline, const T& median,
                                           bool standardise) {
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
    if (standardise) group_lanes::standardise_in_place<T>(a, n);
}

// Group g: its rewards and the first of its result slots.
struct Group {
    DoubleRun values;
    double* out;
};

// Groups begin..end-1: blocks of kLanes groups of one size in vector lanes,
// the rest one by one.
template <class GroupAt>
QRL_VECTOR_INLINE void groups_range(const GroupAt& group_at, GroupBaseline baseline, bool standardise,
                                    std::int64_t begin, std::int64_t end) {
    std::vector<double> scratch, lanes, sorted;
    std::int64_t i = begin;
    while (i < end) {
        const Group first = group_at(i);
        const std::int64_t n = first.values.size;
        bool same_size = n > 0 && i + kLanes <= end;
        for (int lane = 1; same_size && lane < kLanes; ++lane) same_size = group_at(i + lane).values.size == n;
        if (baseline == GroupBaseline::Median && scratch.size() < static_cast<std::size_t>(n))
            scratch.resize(static_cast<std::size_t>(n));
        if (!same_size) {
            for (std::int64_t j = 0; j < n; ++j) first.out[j] = first.values[j];
            ++i;
            if (n == 0) continue;
            const double median = baseline == GroupBaseline::Median ? median_of(first.values, scratch.data()) : 0.0;
            advantages_in_place<double>(first.out, n, baseline, median, standardise);
            continue;
        }
        // Member j of lane l at lanes[j * kLanes + l].
        lanes.resize(static_cast<std::size_t>(n * kLanes));
        Doubles median = simd::splat<Doubles>(0.0);
        bool any_nan = false;
        for (int lane = 0; lane < kLanes; ++lane) {
            const DoubleRun values = group_at(i + lane).values;
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
        advantages_in_place<Doubles>(lanes.data(), n, baseline, median, standardise);
        for (int lane = 0; lane < kLanes; ++lane) {
            double* out = group_at(i + lane).out;
            for (std::int64_t j = 0; j < n; ++j) out[j] = lanes[static_cast<std::size_t>(j * kLanes + lane)];
        }
        i += kLanes;
    }
}

}  // namespace

void matrix_range(const numeric::DoubleMatrix& rewards, GroupBaseline baseline, bool standardise, double* out,
                  std::int64_t begin, std::int64_t end) {
    const std::int64_t n = rewards.columns;
    groups_range([&](std::int64_t i) { return Group{rewards.row(i), out + i * n}; }, baseline, standardise, begin, end);
}

void ragged_range(DoubleRun rewards, const std::int64_t* lengths, const std::int64_t* offsets, GroupBaseline baseline,
                  bool standardise, double* out, std::int64_t begin, std::int64_t end) {
    groups_range(
        [&](std::int64_t i) {
            const DoubleRun values{rewards.data + offsets[i] * rewards.stride, lengths[i], rewards.stride};
            return Group{values, out + offsets[i]};
        },
        baseline, standardise, begin, end);
}

}  // namespace qrl::kernels::QRL_TARGET
