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

namespace qrl::kernels {

// Largest group whose median is taken by a network.
inline constexpr std::int64_t kNetworkLimit = 64;

// Batcher's odd-even merge sort for a power-of-two size, as compare-exchange pairs.
struct SortingNetwork {
    int size = 1;
    int count = 0;
    std::uint8_t pairs[kNetworkLimit * 21][2];  // 543 pairs for 64 elements
};

// The network for n <= kNetworkLimit values (padded to a power of two with
// +infinity), built once per process.
const SortingNetwork& sorting_network_for(std::int64_t n);

// Medians of the kLanes groups held interleaved in `lanes` (member j of lane
// l at lanes[j * kLanes + l]), none of which holds NaN.  `sorted` holds
// network.size * kLanes doubles, `scratch` n doubles.
QRL_VECTOR_INLINE numeric::simd::Doubles medians_by_network(const SortingNetwork& network, const double* lanes,
                                                            std::int64_t n, double* sorted, double* scratch) {
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
    // The value a stable sort puts at `position` of lane l: only a zero is ambiguous.
    auto stable_at = [&](std::int64_t position, int lane) {
        const double value = sorted[position * kLanes + lane];
        if (value != 0.0) return value;
        for (std::int64_t j = 0; j < n; ++j) scratch[j] = lanes[j * kLanes + lane];
        return numeric::at_stable_position(value, static_cast<std::size_t>(position),
                                           {scratch, static_cast<std::size_t>(n)});
    };
    const std::int64_t k = n / 2;
    Doubles medians;
    for (int lane = 0; lane < kLanes; ++lane) {
        const double upper = stable_at(k, lane);
        medians[lane] = (n % 2 == 1) ? upper : (stable_at(k - 1, lane) + upper) * 0.5;
    }
    return medians;
}

}  // namespace qrl::kernels
