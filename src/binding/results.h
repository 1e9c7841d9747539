// Result objects: new one-dimensional float64 arrays that own their memory.
#pragma once

#include <cstdint>

#include "binding/py.h"
#include "numeric/arrays.h"

namespace qrl::binding {

// A new C-contiguous float64 array of n elements, allocated by NumPy; the
// kernel writes straight into *data.  Null with MemoryError when it cannot
// be allocated; any other constructor failure is an internal failure.
py::Ref new_float64_vector(std::int64_t n, double** data);

// The same for a C-contiguous (rows, columns) matrix.
py::Ref new_float64_matrix(std::int64_t rows, std::int64_t columns, double** data);

// A new C-contiguous array of either precision and the given shape (one or
// two dimensions), seen as a matrix for the kernels (a vector is one row).
py::Ref new_real_array(numeric::Precision precision, int ndim, const Py_ssize_t* dimensions,
                       numeric::OutputMatrix* view);

}  // namespace qrl::binding
