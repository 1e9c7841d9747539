// Conversion kinds: Python objects into plain values and read-only views of
// array memory.  Every converter names its parameter in its errors: a
// TypeError becomes "argument '<name>': <message>", other exception types
// pass unchanged.  Converters return false with the exception set.
//
// Array arguments are converted in two steps: `check_array` during the
// conversion of the parameters, `view_*` after all of them, because a later
// parameter's __float__ or __index__ may run Python code that reshapes or
// retypes an earlier array.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "binding/py.h"
#include "numeric/arrays.h"
#include "numeric/runs.h"

namespace qrl::binding {

// Real: float32 or float64.  Flag: bool, integer or floating, at most
// eight bytes, in the machine's byte order.
enum class Element { Float64, Int64, Bool, Real, Flag };

struct VectorView {
    const char* data;
    std::int64_t size;
    std::int64_t stride;  // bytes
    bool contiguous;      // NumPy's C- or F-contiguous flag
    const char* name;     // the parameter's, for the note of a refusal

    numeric::DoubleRun doubles() const { return {data, size, stride}; }
    numeric::Int64Run int64s() const { return {data, size, stride}; }
};

// Sets TypeError "'<type qualname>' object cannot be converted to
// '<target>'" (no parameter prefix); returns false.
bool raise_conversion_refusal(PyObject* object, const char* target);

// TypeError "'<type>' object cannot be converted to 'PyArray<T, D>'" for
// parameter `name`, with a note of what it expected; returns false.
[[gnu::cold]] bool refuse_array(PyObject* object, const char* name, const char* expected);

// Bytes per element of the dtypes a flag may have (bool, integers, floats
// of at most eight bytes, native byte order); 0 for any other.
int flag_size(PyObject* descr);

// Is `object` an ndarray (or subclass) of `ndim` dimensions and element type?
bool check_array(PyObject* object, int ndim, Element element, const char* name);

bool view_vector(PyObject* object, Element element, const char* name, VectorView* view);
bool view_matrix(PyObject* object, const char* name, numeric::DoubleMatrix* view);

numeric::Precision precision_of(PyObject* real_array);

// A two-dimensional NumPy bool array: one byte per element, any strides.
struct BoolMatrixView {
    const char* data;
    std::int64_t rows, columns;
    std::int64_t row_stride, column_stride;  // bytes
};
bool view_bool_matrix(PyObject* object, const char* name, BoolMatrixView* view);

// TypeError "The given array is not contiguous" (no parameter named in the
// message; a note names it and the way out).
bool require_contiguous(const VectorView& view);

bool to_double(PyObject* object, const char* name, double* value);
bool to_int64(PyObject* object, const char* name, std::int64_t* value);
bool to_bool(PyObject* object, const char* name, bool* value);
// The UTF-8 text stays valid while `object` lives.
bool to_utf8(PyObject* object, const char* name, std::string_view* text);

// A sequence (not a str) of one-dimensional float64 arrays; the items are
// held so that they outlive the call whatever Python code runs meanwhile.
bool to_array_list(PyObject* object, const char* name, std::vector<py::Ref>* items);

// A sequence (not a str) of numbers, copied.
bool to_double_list(PyObject* object, const char* name, std::vector<double>* values);

}  // namespace qrl::binding
