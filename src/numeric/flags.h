// Flags of any integer, bool or floating element type, read in place.
#pragma once

#include <cstdint>
#include <cstring>

namespace qrl::numeric {

// A (rows, columns) matrix of flags, `size` bytes each: set when the bits
// under `bits` are not all zero (so a float's -0.0 is not set and NaN is).
// Absent when data is null.
struct FlagMatrix {
    const char* data = nullptr;
    std::int64_t row_stride = 0;
    std::int64_t column_stride = 0;
    int size = 1;
    std::uint64_t bits = ~std::uint64_t{0};

    bool present() const { return data != nullptr; }
    bool at(std::int64_t i, std::int64_t j) const {
        std::uint64_t word = 0;
        std::memcpy(&word, data + i * row_stride + j * column_stride, static_cast<std::size_t>(size));
        return (word & bits) != 0;
    }
};

}  // namespace qrl::numeric
