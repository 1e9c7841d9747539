// Array arguments of the trainer-layer functions, read once.
//
// A parameter's later siblings may run Python code while they are converted
// (a __float__, an __index__, a subclass hook), and that code can reshape,
// retype, resize or re-point an array already converted.  So every fact the
// kernel uses (data pointer, element type, shape, strides, writeability) is
// copied from the array's C struct into an ArrayRecord when the parameter is
// converted; when every parameter is converted, `unchanged` compares the
// records with the arrays' C structs again, without running Python code, and
// refuses any array that changed.  From then on the kernels read only the
// records; no fact is read from Python (no attribute, no method) at all.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "binding/conversions.h"
#include "binding/py.h"
#include "numeric/arrays.h"
#include "numeric/flags.h"
#include "numeric/runs.h"

namespace qrl::binding {

struct ArrayRecord {
    py::Ref array;  // keeps the array, and so its memory, alive for the call
    py::Ref descr;  // the element type recorded, held so that identity is a safe comparison
    const char* name = nullptr;
    char* data = nullptr;
    int ndim = 0;
    Py_ssize_t shape[2] = {0, 0};
    Py_ssize_t strides[2] = {0, 0};  // bytes
    bool writeable = false;
    int element_size = 0;                                        // bytes
    numeric::Precision precision = numeric::Precision::Float64;  // value arrays
    std::uint64_t flag_bits = 0;                                 // flag arrays: the bits that make a flag set

    bool present() const { return static_cast<bool>(array); }
    // Rows and columns of the matrix a kernel sees: a vector is one column.
    std::int64_t rows() const { return shape[0]; }
    std::int64_t columns() const { return ndim == 2 ? shape[1] : 1; }

    numeric::ValueMatrix values() const;
    numeric::ValueRun value_run() const;
    numeric::FlagMatrix flags() const;
    numeric::Int64Run int64s() const;
    // A result to write; a vector is one row.
    numeric::OutputMatrix output() const;
};

// Records `object` as a parameter of `ndim` dimensions and element kind
// Real, Flag or Int64; refuses it with the same TypeError as check_array.
bool record_array(PyObject* object, int ndim, Element element, const char* name, ArrayRecord* record);

// Records a result the caller passed: float32 or float64, `ndim`
// dimensions (TypeError), writeable, and no two elements sharing memory
// (ValueError).  Empty arrays are accepted whatever their strides.
bool record_output(PyObject* object, const char* function, const char* name, int ndim, ArrayRecord* record);

// Is every present record still true of its array?  Otherwise ValueError
// naming the parameter and what changed.  Runs no Python code.
bool unchanged(std::initializer_list<const ArrayRecord*> records, const char* function);

// Do the memory ranges the two records span meet?  (Empty arrays meet nothing.)
bool memory_meets(const ArrayRecord& a, const ArrayRecord& b);

// The shape as a tuple of ints, for messages.
py::Ref shape_tuple(const ArrayRecord& record);

// A packed float64 copy of a float32 value matrix (row-major, exact), and
// the matrix that reads it; a float64 matrix is returned as it is.
numeric::ValueMatrix widened(const numeric::ValueMatrix& matrix, std::vector<double>* storage);
numeric::ValueRun widened(const numeric::ValueRun& run, std::vector<double>* storage);

}  // namespace qrl::binding
