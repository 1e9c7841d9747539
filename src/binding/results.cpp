#include "binding/results.h"

#include "binding/failure_guard.h"
#include "binding/numpy_api.h"
#include "failure/internal_failure.h"

namespace qrl::binding {

namespace {

py::Ref new_float64_array(int ndim, const Py_ssize_t* dimensions, double** data) {
    const numpy::Api& api = numpy::api();
    Py_INCREF(api.float64_descr);  // the constructor steals it
    py::Ref array(
        api.new_from_descr(api.array_type, api.float64_descr, ndim, dimensions, nullptr, nullptr, 0, nullptr));
    if (!array) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) return array;
        fail("Failed to create a NumPy array: " + take_error_description());
    }
    *data = reinterpret_cast<double*>(numpy::fields(array.get()).data);
    return array;
}

}  // namespace

py::Ref new_float64_vector(std::int64_t n, double** data) {
    const Py_ssize_t dimensions[1] = {static_cast<Py_ssize_t>(n)};
    return new_float64_array(1, dimensions, data);
}

py::Ref new_float64_matrix(std::int64_t rows, std::int64_t columns, double** data) {
    const Py_ssize_t dimensions[2] = {static_cast<Py_ssize_t>(rows), static_cast<Py_ssize_t>(columns)};
    return new_float64_array(2, dimensions, data);
}

}  // namespace qrl::binding
