// Generalized Advantage Estimation over a padded (batch, time) batch: each
// row holds one or more episodes, cut by per-step flags, and may end in
// padding.
#pragma once

#include <cstdint>
#include <cstring>

#include "numeric/runs.h"

namespace qrl::kernels {

// A (rows, columns) matrix of one-byte truth values (NumPy bool); absent
// when data is null.  Any nonzero byte reads as true.
struct FlagMatrix {
    const char* data = nullptr;
    std::int64_t row_stride = 0;
    std::int64_t column_stride = 0;

    bool present() const { return data != nullptr; }
    bool at(std::int64_t i, std::int64_t j) const {
        unsigned char byte;
        std::memcpy(&byte, data + i * row_stride + j * column_stride, 1);
        return byte != 0;
    }
};

// Step t of row b: reward r[b, t], the value v[b, t] of the state it starts
// from, and next_values[b, t], the value of the state it leads to (the
// bootstrap, used unless the step ends its episode).  All matrices share the
// rewards' shape.
struct PaddedBatch {
    numeric::DoubleMatrix rewards;
    numeric::DoubleMatrix values;
    numeric::DoubleMatrix next_values;
    FlagMatrix dones;      // the episode ended at this step: no bootstrap, no carry
    FlagMatrix truncated;  // the episode was cut here: bootstrap, no carry
    FlagMatrix mask;       // false on padding; absent means every step is real
};

// Advantages and returns (advantage + value), both row-major (rows, columns).
// A masked step gets 0.0 in both, reads nothing, and carries nothing to the
// step before it.  Rows run on the worker pool; each row's result does not
// depend on the thread count or on which rows share its vector lanes.
void padded_gae(const PaddedBatch& batch, double gamma, double lambda, double* advantages, double* returns);

}  // namespace qrl::kernels
