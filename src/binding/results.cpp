#include "binding/results.h"

#include "binding/failure_guard.h"
#include "binding/numpy_api.h"
#include "failure/internal_failure.h"

namespace qrl::binding {

py::Ref new_float64_vector(std::int64_t n, double** data) {
    const numpy::Api& api = numpy::api();
    const Py_ssize_t dimensions[1] = {static_cast<Py_ssize_t>(n)};
    Py_INCREF(api.float64_descr);  // the constructor steals it
    py::Ref array(api.new_from_descr(api.array_type, api.float64_descr, 1, dimensions, nullptr, nullptr, 0, nullptr));
    if (!array) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) return array;
        fail("Failed to create a NumPy array: " + take_error_description());
    }
    *data = reinterpret_cast<double*>(numpy::fields(array.get()).data);
    return array;
}

}  // namespace qrl::binding
