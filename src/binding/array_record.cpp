#include "binding/array_record.h"

#include <algorithm>
#include <utility>

#include "binding/numpy_api.h"
#include "failure/messages.h"

namespace qrl::binding {
namespace {

// Byte offsets: arbitrary strides times counts cannot overflow it.
__extension__ typedef __int128 Wide;

Wide magnitude(Py_ssize_t x) { return x < 0 ? -static_cast<Wide>(x) : static_cast<Wide>(x); }

void fill(PyObject* object, const char* name, ArrayRecord* record) {
    const numpy::ArrayFields& fields = numpy::fields(object);
    record->array = py::Ref::borrow(object);
    record->descr = py::Ref::borrow(fields.descr);
    record->name = name;
    record->data = fields.data;
    record->ndim = fields.nd;
    for (int d = 0; d < fields.nd && d < 2; ++d) {
        record->shape[d] = fields.dimensions[d];
        record->strides[d] = fields.strides[d];
    }
    record->writeable = (fields.flags & numpy::kWriteable) != 0;
}

bool is_empty(const ArrayRecord& r) {
    for (int d = 0; d < r.ndim; ++d)
        if (r.shape[d] == 0) return true;
    return false;
}

// Do two distinct elements of the layout share a byte?  Exact for one and
// two dimensions, in time proportional to the shorter axis.
bool elements_overlap(const ArrayRecord& r) {
    struct Axis {
        Wide count, stride;
    } axes[2];
    int used = 0;
    for (int d = 0; d < r.ndim; ++d) {
        if (r.shape[d] == 0) return false;
        if (r.shape[d] > 1) axes[used++] = {static_cast<Wide>(r.shape[d]), magnitude(r.strides[d])};
    }
    const Wide size = r.element_size;
    if (used == 0) return false;
    if (used == 2 && axes[1].stride < axes[0].stride) std::swap(axes[0], axes[1]);
    const Axis a = axes[0];
    if (a.stride < size) return true;  // neighbours along the closer axis
    if (used == 1) return false;
    const Axis b = axes[1];
    // Elements (i, j) and (i + di, j + dj) meet when |dj * b + di * a| < size,
    // with 0 < dj < b.count and |di| < a.count.  Once dj * b exceeds the
    // reach of the other axis, no larger dj can meet.
    const Wide reach = (a.count - 1) * a.stride + size;
    for (Wide dj = 1; dj < b.count; ++dj) {
        const Wide t = dj * b.stride;
        if (t >= reach) return false;
        const Wide q = t / a.stride;
        for (Wide di : {q, q + 1}) {
            const Wide step = std::min(di, a.count - 1) * a.stride;
            if ((t > step ? t - step : step - t) < size) return true;
        }
    }
    return false;
}

// [low, high) of the bytes the record spans; empty when it has no element.
struct Extent {
    Wide low, high;
    bool empty;
};

Extent extent_of(const ArrayRecord& r) {
    const auto start = static_cast<Wide>(reinterpret_cast<std::intptr_t>(r.data));
    Extent e{start, start + std::max(r.element_size, 1), is_empty(r)};
    for (int d = 0; d < r.ndim; ++d) {
        const Wide reach = static_cast<Wide>(r.shape[d] - 1) * r.strides[d];
        (reach < 0 ? e.low : e.high) += reach;
    }
    return e;
}

// What differs between the record and the array now; null when nothing.
const char* change_of(const ArrayRecord& r) {
    const numpy::ArrayFields& now = numpy::fields(r.array.get());
    if (now.nd != r.ndim) return messages::kChangedShape;
    for (int d = 0; d < r.ndim; ++d)
        if (now.dimensions[d] != r.shape[d]) return messages::kChangedShape;
    if (now.descr != r.descr.get()) return messages::kChangedDtype;
    for (int d = 0; d < r.ndim; ++d)
        if (now.strides[d] != r.strides[d]) return messages::kChangedStrides;
    if (now.data != r.data) return messages::kChangedMemory;
    if (r.writeable && (now.flags & numpy::kWriteable) == 0) return messages::kChangedWriteable;
    return nullptr;
}

}  // namespace

numeric::ValueMatrix ArrayRecord::values() const {
    return {data, shape[0], shape[1], strides[0], strides[1], precision};
}

numeric::ValueRun ArrayRecord::value_run() const { return {data, shape[0], strides[0], precision}; }

numeric::FlagMatrix ArrayRecord::flags() const {
    return {data, strides[0], ndim == 2 ? strides[1] : 0, element_size, flag_bits};
}

numeric::Int64Run ArrayRecord::int64s() const { return {data, shape[0], strides[0]}; }

numeric::OutputMatrix ArrayRecord::output() const {
    if (ndim == 1) return {data, 1, shape[0], 0, strides[0], precision};
    return {data, shape[0], shape[1], strides[0], strides[1], precision};
}

bool record_array(PyObject* object, int ndim, Element element, const char* name, ArrayRecord* record) {
    if (!check_array(object, ndim, element, name)) return false;
    fill(object, name, record);
    PyObject* descr = record->descr.get();
    switch (element) {
        case Element::Real:
            record->precision = precision_of(object);
            record->element_size = static_cast<int>(numeric::element_size(record->precision));
            break;
        case Element::Flag: {
            const int size = flag_size(descr);
            // A float flag is set by any bit but the sign: -0.0 is zero, NaN is set.
            std::uint64_t bits = size == 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * size)) - 1;
            if (numpy::descr_fields(descr).kind == 'f') bits &= ~(std::uint64_t{1} << (8 * size - 1));
            record->element_size = size;
            record->flag_bits = bits;
            break;
        }
        default: record->element_size = 8; break;
    }
    return true;
}

bool record_output(PyObject* object, const char* function, const char* name, int ndim, ArrayRecord* record) {
    constexpr const char* kExpected[2] = {"a writeable one-dimensional float32 or float64 numpy.ndarray",
                                          "a writeable two-dimensional float32 or float64 numpy.ndarray"};
    const numpy::Api& api = numpy::api();
    PyTypeObject* type = Py_TYPE(object);
    if ((type != api.array_type && !PyType_IsSubtype(type, api.array_type)) || numpy::fields(object).nd != ndim)
        return refuse_array(object, name, kExpected[ndim - 1]);
    if (!record_array(object, ndim, Element::Real, name, record)) {
        // The kind is right but the element type is not: the same refusal.
        PyErr_Clear();
        return refuse_array(object, name, kExpected[ndim - 1]);
    }
    if (!record->writeable) {
        PyErr_Format(PyExc_ValueError, messages::kReadOnlyOutput, function, name);
        return false;
    }
    if (elements_overlap(*record)) {
        PyErr_Format(PyExc_ValueError, messages::kSelfOverlappingOutput, function, name);
        return false;
    }
    return true;
}

bool unchanged(std::initializer_list<const ArrayRecord*> records, const char* function) {
    for (const ArrayRecord* record : records) {
        if (record == nullptr || !record->present()) continue;
        if (const char* change = change_of(*record)) {
            PyErr_Format(PyExc_ValueError, messages::kArgumentChanged, function, record->name, change);
            return false;
        }
    }
    return true;
}

bool memory_meets(const ArrayRecord& a, const ArrayRecord& b) {
    const Extent x = extent_of(a), y = extent_of(b);
    return !x.empty && !y.empty && x.low < y.high && y.low < x.high;
}

py::Ref shape_tuple(const ArrayRecord& record) {
    py::Ref tuple(PyTuple_New(record.ndim));
    if (!tuple) return tuple;
    for (int d = 0; d < record.ndim; ++d) {
        PyObject* length = PyLong_FromSsize_t(record.shape[d]);
        if (length == nullptr) return py::Ref();
        PyTuple_SetItem(tuple.get(), d, length);
    }
    return tuple;
}

numeric::ValueMatrix widened(const numeric::ValueMatrix& matrix, std::vector<double>* storage) {
    if (matrix.precision == numeric::Precision::Float64 || !matrix.present()) return matrix;
    storage->resize(static_cast<std::size_t>(matrix.rows * matrix.columns));
    double* to = storage->data();
    for (std::int64_t i = 0; i < matrix.rows && matrix.columns > 0; ++i)
        for (std::int64_t j = 0; j < matrix.columns; ++j) *to++ = matrix.at(i, j);
    return {reinterpret_cast<const char*>(storage->data()),
            matrix.rows,
            matrix.columns,
            matrix.columns * 8,
            8,
            numeric::Precision::Float64};
}

numeric::ValueRun widened(const numeric::ValueRun& run, std::vector<double>* storage) {
    if (run.precision == numeric::Precision::Float64 || !run.present()) return run;
    storage->resize(static_cast<std::size_t>(run.size));
    for (std::int64_t i = 0; i < run.size; ++i) (*storage)[static_cast<std::size_t>(i)] = run[i];
    return {reinterpret_cast<const char*>(storage->data()), run.size, 8, numeric::Precision::Float64};
}

}  // namespace qrl::binding
