// Medians of kLanes groups of equal size at once, by a sorting network over
// vector lanes: branch-free minimum and maximum, every lane sorted together.
// For values without NaN, `<` is a strict weak order, so the sorted values
// are those of the stable insertion rule except for the sign of equal zeros,
// which is settled from the group's own values in input order.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

#include "numeric/median.h"
#include "numeric/simd.h"
#include "numeric/sorting_network.h"

namespace qrl::kernels {

// Member j of one lane of groups held interleaved (member j of lane l at
// lanes[j * kLanes + l]).
struct LaneMembers {
    const double* lanes;
    int lane;
    double operator[](std::int64_t j) const { return lanes[j * numeric::simd::kLanes + lane]; }
};

// Medians of the kLanes groups of n <= numeric::kNetworkLimit members held
// interleaved in `lanes`, none of which holds NaN.  `sorted` holds
// network.size * kLanes doubles.
QRL_VECTOR_INLINE numeric::simd::Doubles medians_by_network(const numeric::SortingNetwork& network, const double* lanes,
                                                            std::int64_t n, double* sorted) {
    namespace simd = numeric::simd;
    using simd::Doubles;
    using simd::kLanes;
    std::memcpy(sorted, lanes, static_cast<std::size_t>(n * kLanes) * sizeof(double));
    for (std::int64_t j = n; j < network.size; ++j) simd::put(sorted, j, simd::splat<Doubles>(INFINITY));
    for (int p = 0; p < network.count; ++p) {
        const Doubles a = simd::get<Doubles>(sorted, network.pairs[p][0]);
        const Doubles b = simd::get<Doubles>(sorted, network.pairs[p][1]);
        const auto less = a < b;
        simd::put(sorted, network.pairs[p][0], simd::select(less, a, b));
        simd::put(sorted, network.pairs[p][1], simd::select(less, b, a));
    }
    const std::int64_t k = n / 2;
    Doubles medians;
    for (int lane = 0; lane < kLanes; ++lane) {
        const LaneMembers members{lanes, lane};
        const double upper = numeric::with_stable_zero_sign(sorted[k * kLanes + lane], k, members, n);
        medians[lane] =
            (n % 2 == 1)
                ? upper
                : (numeric::with_stable_zero_sign(sorted[(k - 1) * kLanes + lane], k - 1, members, n) + upper) * 0.5;
    }
    return medians;
}

}  // namespace qrl::kernels
