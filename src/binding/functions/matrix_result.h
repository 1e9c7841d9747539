// The (rows, columns) result of the masked trainer functions: the caller's
// `out` (either precision, any strides), or a new C-ordered array.  When
// `out` shares memory with an input the kernel writes a new array, copied
// into `out` at the end, so that no input is overwritten before it is read;
// an input the kernel reads and writes element by element in one step may
// be `out` itself.
#pragma once

#include <initializer_list>

#include "binding/array_record.h"
#include "binding/py.h"
#include "binding/results.h"
#include "numeric/arrays.h"

namespace qrl::binding::functions {

struct MatrixResult {
    py::Ref array;                  // what the call returns
    numeric::OutputMatrix target;   // what the kernel writes
    numeric::OutputMatrix through;  // `out`, when the kernel writes a new array first
    py::Ref scratch;                // that new array

    // Copies into `out` when needed; returns the result (a new reference).
    PyObject* finish() {
        if (through.present()) numeric::copy_matrix(target, through);
        return array.release();
    }
};

inline bool same_elements(const ArrayRecord& a, const ArrayRecord& b) {
    return a.data == b.data && a.precision == b.precision && a.ndim == b.ndim && a.shape[0] == b.shape[0] &&
           a.shape[1] == b.shape[1] && a.strides[0] == b.strides[0] && a.strides[1] == b.strides[1];
}

inline bool matrix_result(const ArrayRecord& out, numeric::Precision precision, const Py_ssize_t* shape,
                          std::initializer_list<const ArrayRecord*> inputs, const ArrayRecord* in_place,
                          MatrixResult* result) {
    if (out.present()) {
        result->array = py::Ref::borrow(out.array.get());
        bool meets = false;
        for (const ArrayRecord* input : inputs)
            meets |=
                input->present() && memory_meets(out, *input) && !(input == in_place && same_elements(out, *input));
        if (!meets) {
            result->target = out.output();
            return true;
        }
        result->through = out.output();
        result->scratch = new_real_array(out.precision, 2, shape, &result->target);
        return static_cast<bool>(result->scratch);
    }
    result->array = new_real_array(precision, 2, shape, &result->target);
    return static_cast<bool>(result->array);
}

}  // namespace qrl::binding::functions
