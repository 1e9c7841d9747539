// Sorting networks: fixed lists of compare-exchange pairs, so that several
// groups held in vector lanes sort at once with branch-free minimum and
// maximum.  A network does not keep equal values in input order.
#pragma once

#include <cstdint>

namespace qrl::numeric {

// Largest number of values a network here sorts.
constexpr std::int64_t kNetworkLimit = 64;

// Batcher's odd-even merge sort on `size` elements (a power of two).
struct SortingNetwork {
    int size = 1;
    int count = 0;
    std::uint8_t pairs[kNetworkLimit * 21][2];  // 543 pairs for 64 elements
};

// The network for n <= kNetworkLimit values (padded to the next power of
// two), built once per process.
const SortingNetwork& sorting_network_for(std::int64_t n);

}  // namespace qrl::numeric
