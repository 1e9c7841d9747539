// NumPy's C interface, reached through its "_ARRAY_API" capsule at the first
// call that needs it (never at import, so the module imports without NumPy).
// Only the few table slots and the array object's leading fields are
// declared; both are the same in NumPy 1.x and 2.x.
#pragma once

#include "binding/py.h"

namespace qrl::numpy {

constexpr int kDoubleType = 12;  // NPY_DOUBLE
constexpr int kFloatType = 11;   // NPY_FLOAT
constexpr int kHalfType = 23;    // NPY_HALF
constexpr int kLongType = 7;     // NPY_LONG: the 64-bit integer on LP64
constexpr int kBoolType = 0;     // NPY_BOOL: one byte, 0 or 1
constexpr int kCContiguous = 0x0001;
constexpr int kFContiguous = 0x0002;
constexpr int kWriteable = 0x0400;

// Leading fields of every ndarray (PyArrayObject_fields).
struct ArrayFields {
    PyObject_HEAD
    char* data;
    int nd;
    Py_ssize_t* dimensions;
    Py_ssize_t* strides;
    PyObject* base;
    PyObject* descr;
    int flags;
};

inline const ArrayFields& fields(PyObject* array) { return *reinterpret_cast<const ArrayFields*>(array); }

// Leading fields of every dtype (PyArray_Descr): the same offsets in NumPy
// 1.x and 2.x up to type_num.
struct DescrFields {
    PyObject_HEAD
    PyTypeObject* typeobj;
    char kind;  // 'b' bool, 'i' signed, 'u' unsigned, 'f' floating, ...
    char type;
    char byteorder;  // '>' for big-endian data
    char former_flags;
    int type_num;
};

inline const DescrFields& descr_fields(PyObject* descr) { return *reinterpret_cast<const DescrFields*>(descr); }

struct Api {
    PyTypeObject* array_type;
    PyObject* float64_descr;  // owned for the life of the process
    PyObject* float32_descr;
    PyObject* int64_descr;
    PyObject* bool_descr;
    PyObject* (*descr_from_type)(int);
    PyObject* (*new_from_descr)(PyTypeObject*, PyObject*, int, const Py_ssize_t*, const Py_ssize_t*, void*, int,
                                PyObject*);
    unsigned char (*equiv_types)(PyObject*, PyObject*);
};

// The cached interface; looks it up on first use.  Throws InternalFailure
// ("Failed to access NumPy array API capsule: ...") when NumPy is missing.
const Api& api();

// The interface when NumPy is already imported, else null; never fails.
const Api* api_if_imported();

}  // namespace qrl::numpy
