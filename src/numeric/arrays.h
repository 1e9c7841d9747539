// Strided matrices of float32 or float64 elements: the trainer kernels read
// either in place and compute in double precision; results are rounded once
// to the element type of their destination.
#pragma once

#include <cstdint>
#include <cstring>

#include "numeric/runs.h"

namespace qrl::numeric {

enum class Precision : std::uint8_t { Float32, Float64 };

inline constexpr std::int64_t element_size(Precision p) { return p == Precision::Float32 ? 4 : 8; }

inline double load_as_double(const char* p, Precision precision) {
    if (precision == Precision::Float32) {
        float x;
        std::memcpy(&x, p, sizeof x);
        return x;
    }
    double x;
    std::memcpy(&x, p, sizeof x);
    return x;
}

inline void store_rounded(char* p, Precision precision, double x) {
    if (precision == Precision::Float32) {
        const auto y = static_cast<float>(x);
        std::memcpy(p, &y, sizeof y);
    } else {
        std::memcpy(p, &x, sizeof x);
    }
}

// Element (i, j) at data + i * row_stride + j * column_stride (bytes).
struct ValueMatrix {
    const char* data = nullptr;
    std::int64_t rows = 0, columns = 0;
    std::int64_t row_stride = 0, column_stride = 0;
    Precision precision = Precision::Float64;

    bool present() const { return data != nullptr; }
    double at(std::int64_t i, std::int64_t j) const {
        return load_as_double(data + i * row_stride + j * column_stride, precision);
    }
    // The float64 view the double-only kernels read.
    DoubleMatrix doubles() const { return {data, rows, columns, row_stride, column_stride}; }
};

struct OutputMatrix {
    char* data = nullptr;
    std::int64_t rows = 0, columns = 0;
    std::int64_t row_stride = 0, column_stride = 0;
    Precision precision = Precision::Float64;

    bool present() const { return data != nullptr; }
    void set(std::int64_t i, std::int64_t j, double x) const {
        store_rounded(data + i * row_stride + j * column_stride, precision, x);
    }
    // A plain row-major float64 buffer that the kernel can write directly.
    bool is_packed_doubles() const {
        return precision == Precision::Float64 && column_stride == 8 && (rows < 2 || row_stride == columns * 8);
    }
};

// Writes a row-major (rows, columns) buffer of doubles into `out`, each
// element rounded once.
template <class Out>
inline void store_rows(const double* values, const OutputMatrix& out) {
    // Locals, so the stores (through char*) cannot be taken to change them
    // and the packed loop goes into vector lanes.
    const std::int64_t stride = out.column_stride, rows = out.rows, columns = out.columns;
    char* const data = out.data;
    const std::int64_t row_stride = out.row_stride;
    if (stride == sizeof(Out) && (rows < 2 || row_stride == columns * stride)) {  // one packed run
        for (std::int64_t k = 0; k < rows * columns; ++k) {
            const auto x = static_cast<Out>(values[k]);
            std::memcpy(data + k * static_cast<std::int64_t>(sizeof(Out)), &x, sizeof x);
        }
        return;
    }
    for (std::int64_t i = 0; i < rows; ++i) {
        char* row = data + i * row_stride;
        const double* from = values + i * columns;
        if (stride == sizeof(Out)) {
            for (std::int64_t j = 0; j < columns; ++j) {
                const auto x = static_cast<Out>(from[j]);
                std::memcpy(row + j * static_cast<std::int64_t>(sizeof(Out)), &x, sizeof x);
            }
        } else {
            for (std::int64_t j = 0; j < columns; ++j) {
                const auto x = static_cast<Out>(from[j]);
                std::memcpy(row + j * stride, &x, sizeof x);
            }
        }
    }
}

inline void store_matrix(const double* values, const OutputMatrix& out) {
    if (out.rows == 0 || out.columns == 0) return;  // however many empty rows
    if (out.precision == Precision::Float32)
        store_rows<float>(values, out);
    else
        store_rows<double>(values, out);
}

// Copies a result of the same shape element by element, rounding to the
// destination's precision.
inline void copy_matrix(const OutputMatrix& from, const OutputMatrix& to) {
    for (std::int64_t i = 0; i < to.rows && to.columns > 0; ++i)
        for (std::int64_t j = 0; j < to.columns; ++j)
            to.set(i, j, load_as_double(from.data + i * from.row_stride + j * from.column_stride, from.precision));
}

// A vector of either precision, any stride.
struct ValueRun {
    const char* data = nullptr;
    std::int64_t size = 0;
    std::int64_t stride = 8;
    Precision precision = Precision::Float64;

    bool present() const { return data != nullptr; }
    double operator[](std::int64_t i) const { return load_as_double(data + i * stride, precision); }
};

}  // namespace qrl::numeric
