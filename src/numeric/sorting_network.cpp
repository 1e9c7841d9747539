#include "numeric/sorting_network.h"

#include <array>
#include <cstddef>

namespace qrl::numeric {
namespace {

constexpr int kLevels = 7;  // sizes 1, 2, 4, ..., 64

// Batcher's odd-even merge sort on `size` elements as compare-exchange pairs.
int merge_sort_network(int size, std::uint8_t (*pairs)[2]) {
    int count = 0;
    for (int half = 1; half < size; half *= 2)
        for (int k = half; k >= 1; k /= 2)
            for (int j = k % half; j + k < size; j += 2 * k)
                for (int i = 0; i < k && i + j + k < size; ++i)
                    if ((i + j) / (2 * half) == (i + j + k) / (2 * half)) {
                        pairs[count][0] = static_cast<std::uint8_t>(i + j);
                        pairs[count][1] = static_cast<std::uint8_t>(i + j + k);
                        ++count;
                    }
    return count;
}

}  // namespace

const SortingNetwork& sorting_network_for(std::int64_t n) {
    static const auto networks = [] {
        std::array<SortingNetwork, kLevels> all{};
        for (int level = 0; level < kLevels; ++level) {
            all[level].size = 1 << level;
            all[level].count = merge_sort_network(all[level].size, all[level].pairs);
        }
        return all;
    }();
    int level = 0;
    while ((std::int64_t{1} << level) < n) ++level;
    return networks[static_cast<std::size_t>(level)];
}

}  // namespace qrl::numeric
