#include "binding/results.h"

#include "binding/failure_guard.h"
#include "binding/numpy_api.h"
#include "failure/internal_failure.h"

namespace qrl::binding {

namespace {

py::Ref new_array(PyObject* descr, int ndim, const Py_ssize_t* dimensions, char** data) {
    const numpy::Api& api = numpy::api();
    Py_INCREF(descr);  // the constructor steals it
    py::Ref array(api.new_from_descr(api.array_type, descr, ndim, dimensions, nullptr, nullptr, 0, nullptr));
    if (!array) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) return array;
        fail("Failed to create a NumPy array: " + take_error_description());
    }
    *data = numpy::fields(array.get()).data;
    return array;
}

py::Ref new_float64_array(int ndim, const Py_ssize_t* dimensions, double** data) {
    char* bytes = nullptr;
    py::Ref array = new_array(numpy::api().float64_descr, ndim, dimensions, &bytes);
    *data = reinterpret_cast<double*>(bytes);
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

namespace qrl::binding {

py::Ref new_real_array(numeric::Precision precision, int ndim, const Py_ssize_t* dimensions,
                       numeric::OutputMatrix* view) {
    const numpy::Api& api = numpy::api();
    char* data = nullptr;
    py::Ref array = new_array(precision == numeric::Precision::Float32 ? api.float32_descr : api.float64_descr, ndim,
                              dimensions, &data);
    if (!array) return array;
    const std::int64_t size = numeric::element_size(precision);
    const std::int64_t rows = ndim == 2 ? dimensions[0] : 1, columns = dimensions[ndim - 1];
    *view = {data, rows, columns, columns * size, size, precision};
    return array;
}

}  // namespace qrl::binding
