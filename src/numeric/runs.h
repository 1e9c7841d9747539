// Read-only runs of array memory handed from the binding layer to kernels.
// Elements are read through memcpy, so any alignment and any (also negative
// or zero) byte stride that NumPy allows is safe; the compiler turns it into
// a plain load.
#pragma once

#include <cstdint>
#include <cstring>

namespace qrl::numeric {

template <class T>
struct Run {
    const char* data = nullptr;
    std::int64_t size = 0;
    std::int64_t stride = sizeof(T);  // bytes between elements

    T operator[](std::int64_t i) const {
        T value;
        std::memcpy(&value, data + i * stride, sizeof(T));
        return value;
    }

    // Element i of a run known to have unit stride (lets loops vectorise).
    T unit(std::int64_t i) const {
        T value;
        std::memcpy(&value, data + i * static_cast<std::int64_t>(sizeof(T)), sizeof(T));
        return value;
    }
};

using DoubleRun = Run<double>;
using Int64Run = Run<std::int64_t>;

// Element (i, j) lies at data + i * row_stride + j * column_stride.
struct DoubleMatrix {
    const char* data = nullptr;
    std::int64_t rows = 0;
    std::int64_t columns = 0;
    std::int64_t row_stride = 0;
    std::int64_t column_stride = 0;

    DoubleRun row(std::int64_t i) const { return {data + i * row_stride, columns, column_stride}; }
};

}  // namespace qrl::numeric
