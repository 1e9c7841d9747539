#include "binding/conversions.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "binding/numpy_api.h"
#include "failure/messages.h"

namespace qrl::binding {
namespace {

// The argument-prefix rule: only an exception whose type is exactly
// TypeError is reworded; its cause (not itself) carries over.
[[gnu::cold]] void prefix_type_error(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value == nullptr || Py_TYPE(value) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        PyErr_Restore(type, value, traceback);
        return;
    }
    py::Ref owned_type(type), owned_value(value), owned_traceback(traceback);
    py::Ref message(PyUnicode_FromFormat(messages::kArgumentPrefix, name, value));
    if (!message) return;
    py::Ref replacement(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
    if (!replacement) return;
    if (PyObject* cause = PyException_GetCause(value)) PyException_SetCause(replacement.get(), cause);
    PyErr_SetObject(PyExc_TypeError, replacement.get());
}

[[gnu::cold]] py::Ref type_qualname(PyObject* object) {
    py::Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
    if (!name || !PyUnicode_Check(name.get())) {
        PyErr_Clear();
        return py::Ref(PyUnicode_FromString(messages::kUnknownTypeName));
    }
    return name;
}

// Exception notes (PEP 678) tell the caller what a parameter expected; the
// exception's type and text stay as they are.  Notes are built only on the
// way out of a failed conversion.

// Appends the text made by `make_note` (called with no exception pending) to
// the pending exception's __notes__, set as a plain attribute so that 3.10
// shows it in the same place as later versions.  A note that cannot be made
// is left out: the exception itself matters more.
template <class MakeNote>
[[gnu::cold]] void add_note(MakeNote&& make_note) {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr) {
        if (py::Ref note = make_note()) {
            py::Ref notes(PyObject_GetAttrString(value, "__notes__"));
            if (!notes && PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                notes = py::Ref(PyList_New(0));
                if (notes && PyObject_SetAttrString(value, "__notes__", notes.get()) < 0) notes = py::Ref();
            }
            if (notes && PyList_Check(notes.get())) PyList_Append(notes.get(), note.get());
        }
        PyErr_Clear();
    }
    PyErr_Restore(type, value, traceback);
}

// "list", "NoneType", "torch.Tensor": the type as a caller would write it.
[[gnu::cold]] py::Ref type_description(PyObject* object) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
    py::Ref qualname = type_qualname(object);
    py::Ref module(PyObject_GetAttrString(type, "__module__"));
    if (!module || !PyUnicode_Check(module.get()) || PyUnicode_CompareWithASCIIString(module.get(), "builtins") == 0) {
        PyErr_Clear();
        return qualname;
    }
    return py::Ref(PyUnicode_FromFormat("%U.%U", module.get(), qualname.get()));
}

// An ndarray by element type and number of dimensions ("float32 with 2
// dimensions"), anything else by its type.
[[gnu::cold]] py::Ref array_description(PyObject* object) {
    const numpy::Api* api = numpy::api_if_imported();
    if (api == nullptr || !PyObject_TypeCheck(object, api->array_type)) return type_description(object);
    py::Ref dtype(PyObject_GetAttrString(object, "dtype"));
    if (!dtype) return py::Ref();
    const int nd = numpy::fields(object).nd;
    return py::Ref(PyUnicode_FromFormat(messages::kArrayDescription, dtype.get(), nd, nd == 1 ? "" : "s"));
}

[[gnu::cold]] py::Ref expectation_note(const char* name, const char* expected, py::Ref got) {
    if (!got) return got;
    return py::Ref(PyUnicode_FromFormat(messages::kExpectationNote, name, expected, got.get()));
}

[[gnu::cold]] bool refuse(PyObject* object, const char* target, const char* name, const char* expected) {
    raise_conversion_refusal(object, target);
    prefix_type_error(name);
    add_note([&] { return expectation_note(name, expected, type_description(object)); });
    return false;
}

// "all_rewards[3]: expected ...; got float32 with 1 dimension"
[[gnu::cold]] py::Ref item_note(const char* name, std::size_t index, PyObject* item) {
    py::Ref got = array_description(item);
    if (!got) return got;
    return py::Ref(PyUnicode_FromFormat(messages::kItemNote, name, index, got.get()));
}

[[gnu::cold]] bool refuse_strided(const VectorView& view) {
    PyErr_SetString(PyExc_TypeError, messages::kNotContiguous);
    add_note([&] {
        return py::Ref(
            PyUnicode_FromFormat(messages::kStridedNote, view.name, static_cast<long long>(view.stride), view.name));
    });
    return false;
}

}  // namespace

bool refuse_array(PyObject* object, const char* name, const char* expected) {
    raise_conversion_refusal(object, messages::kArrayTarget);
    prefix_type_error(name);
    add_note([&] { return expectation_note(name, expected, array_description(object)); });
    return false;
}

namespace {

const char* array_expectation(int ndim, Element element) {
    switch (element) {
        case Element::Real: return ndim == 2 ? messages::kExpectedRealMatrix : messages::kExpectedRealVector;
        case Element::Flag: return ndim == 2 ? messages::kExpectedFlagMatrix : messages::kExpectedFlagVector;
        case Element::Bool: return messages::kExpectedBoolMatrix;
        case Element::Int64: return messages::kExpectedInt64Vector;
        default: return ndim == 2 ? messages::kExpectedFloat64Matrix : messages::kExpectedFloat64Vector;
    }
}

}  // namespace

int flag_size(PyObject* descr) {
    const numpy::DescrFields& d = numpy::descr_fields(descr);
    if (d.byteorder == '>') return 0;
    switch (d.type_num) {
        case 0:
        case 1:
        case 2: return 1;  // bool, int8, uint8
        case 3:
        case 4:
        case numpy::kHalfType: return 2;
        case 5:
        case 6:
        case numpy::kFloatType: return 4;
        case 7:
        case 8:
        case 9:
        case 10:
        case numpy::kDoubleType: return 8;
        default: return 0;
    }
}

namespace {

bool is_element(PyObject* descr, Element element, const numpy::Api& api) {
    if (element == Element::Flag) return flag_size(descr) != 0;
    if (element == Element::Real)
        return descr == api.float64_descr || descr == api.float32_descr || api.equiv_types(descr, api.float64_descr) ||
               api.equiv_types(descr, api.float32_descr);
    PyObject* wanted = element == Element::Float64 ? api.float64_descr
                       : element == Element::Int64 ? api.int64_descr
                                                   : api.bool_descr;
    return descr == wanted || api.equiv_types(descr, wanted) != 0;
}

bool is_array(PyObject* object, int ndim, Element element, const numpy::Api& api) {
    PyTypeObject* type = Py_TYPE(object);
    if (type != api.array_type && !PyType_IsSubtype(type, api.array_type)) return false;
    const numpy::ArrayFields& array = numpy::fields(object);
    return array.nd == ndim && is_element(array.descr, element, api);
}

// Sequence kinds accept any non-str object that passes the sequence check.
bool check_sequence(PyObject* object, const char* name, const char* expected) {
    if (PyUnicode_Check(object)) {
        PyErr_SetString(PyExc_TypeError, messages::kStrForSequence);
        prefix_type_error(name);
        add_note([&] { return expectation_note(name, expected, type_description(object)); });
        return false;
    }
    if (!PySequence_Check(object)) return refuse(object, messages::kSequenceTarget, name, expected);
    return true;
}

// Capacity to reserve for a sequence's items.  The length only sizes the
// copy: a failing length is no error, and a length that the iteration need
// not honour (a __len__ may say anything) reserves at most a modest amount.
std::size_t length_hint(PyObject* object) {
    constexpr Py_ssize_t kMostReserved = Py_ssize_t{1} << 20;
    const Py_ssize_t size = PySequence_Size(object);
    if (size < 0) {
        PyErr_Clear();
        return 0;
    }
    return static_cast<std::size_t>(std::min(size, kMostReserved));
}

// Calls visit(item) for each item by the iteration protocol; false (with the
// exception set) on the first failure of the iteration or of visit.
template <class Visit>
bool for_each_item(PyObject* object, Visit&& visit) {
    py::Ref iterator(PyObject_GetIter(object));
    if (!iterator) return false;
    while (py::Ref item{PyIter_Next(iterator.get())}) {
        if (!visit(std::move(item))) return false;
    }
    return !PyErr_Occurred();
}

// The attribute `name` as stored in the dict of the first class of the
// type's MRO that has it (no descriptor applied, no instance dict, no
// metaclass lookup); null without error when no class has it.
bool lookup_on_type(PyObject* type, const char* name, py::Ref* found) {
    py::Ref mro(PyObject_GetAttrString(type, "__mro__"));
    if (!mro) return false;
    py::Ref classes(PySequence_Fast(mro.get(), "__mro__ is not a sequence"));
    if (!classes) return false;
    const Py_ssize_t count = PySequence_Size(classes.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        py::Ref cls(PySequence_GetItem(classes.get(), i));
        py::Ref dict(cls ? PyObject_GetAttrString(cls.get(), "__dict__") : nullptr);
        if (!dict) return false;
        py::Ref value(PyMapping_GetItemString(dict.get(), name));
        if (value) {
            *found = std::move(value);
            return true;
        }
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) return false;
        PyErr_Clear();
    }
    return true;
}

bool is_numpy_bool(PyObject* object) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
    py::Ref module(PyObject_GetAttrString(type, "__module__"));
    py::Ref type_name(PyObject_GetAttrString(type, "__name__"));
    if (!module || !type_name || !PyUnicode_Check(module.get()) || !PyUnicode_Check(type_name.get())) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
           (PyUnicode_CompareWithASCIIString(type_name.get(), "bool") == 0 ||
            PyUnicode_CompareWithASCIIString(type_name.get(), "bool_") == 0);
}

}  // namespace

bool raise_conversion_refusal(PyObject* object, const char* target) {
    py::Ref type_name = type_qualname(object);
    if (type_name) PyErr_Format(PyExc_TypeError, messages::kConversionRefusal, type_name.get(), target);
    return false;
}

bool check_array(PyObject* object, int ndim, Element element, const char* name) {
    if (is_array(object, ndim, element, numpy::api())) return true;
    return refuse_array(object, name, array_expectation(ndim, element));
}

bool view_vector(PyObject* object, Element element, const char* name, VectorView* view) {
    if (!check_array(object, 1, element, name)) return false;
    const numpy::ArrayFields& array = numpy::fields(object);
    view->data = array.data;
    view->size = array.dimensions[0];
    view->contiguous = (array.flags & (numpy::kCContiguous | numpy::kFContiguous)) != 0;
    // A contiguous vector lies at unit stride (its stride is arbitrary when it
    // has fewer than two elements).
    view->stride = view->contiguous ? 8 : array.strides[0];
    view->name = name;
    return true;
}

bool view_matrix(PyObject* object, const char* name, numeric::DoubleMatrix* view) {
    if (!check_array(object, 2, Element::Float64, name)) return false;
    const numpy::ArrayFields& array = numpy::fields(object);
    *view = {array.data, array.dimensions[0], array.dimensions[1], array.strides[0], array.strides[1]};
    return true;
}

bool view_bool_matrix(PyObject* object, const char* name, BoolMatrixView* view) {
    if (!check_array(object, 2, Element::Bool, name)) return false;
    const numpy::ArrayFields& array = numpy::fields(object);
    *view = {array.data, array.dimensions[0], array.dimensions[1], array.strides[0], array.strides[1]};
    return true;
}

numeric::Precision precision_of(PyObject* real_array) {
    const numpy::Api& api = numpy::api();
    PyObject* descr = numpy::fields(real_array).descr;
    return descr == api.float64_descr || api.equiv_types(descr, api.float64_descr) ? numeric::Precision::Float64
                                                                                   : numeric::Precision::Float32;
}

bool require_contiguous(const VectorView& view) {
    if (view.contiguous) return true;
    return refuse_strided(view);
}

bool to_double(PyObject* object, const char* name, double* value) {
    const double result = PyFloat_AsDouble(object);
    if (result == -1.0 && PyErr_Occurred()) {
        prefix_type_error(name);
        return false;
    }
    *value = result;
    return true;
}

bool to_int64(PyObject* object, const char* name, std::int64_t* value) {
    static_assert(sizeof(long) == sizeof(std::int64_t), "64-bit long expected (LP64)");
    const long result = PyLong_AsLong(object);
    if (result == -1 && PyErr_Occurred()) {
        prefix_type_error(name);
        return false;
    }
    *value = result;
    return true;
}

bool to_bool(PyObject* object, const char* name, bool* value) {
    if (PyBool_Check(object)) {
        *value = object == Py_True;
        return true;
    }
    if (!is_numpy_bool(object)) return refuse(object, messages::kBoolTarget, name, messages::kExpectedBool);
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
    py::Ref method;
    if (!lookup_on_type(type, "__bool__", &method)) {
        prefix_type_error(name);
        return false;
    }
    if (!method) {
        PyErr_Format(PyExc_TypeError, messages::kNoBoolConversion, type);
        prefix_type_error(name);
        return false;
    }
    // Like the interpreter's own special-method calls: bind through the
    // attribute's descriptor (a plain function becomes a bound method, a
    // staticmethod stays unbound), then call with no arguments.
    const auto bind = reinterpret_cast<descrgetfunc>(PyType_GetSlot(Py_TYPE(method.get()), Py_tp_descr_get));
    if (bind != nullptr) method = py::Ref(bind(method.get(), object, type));
    py::Ref result(method ? PyObject_CallObject(method.get(), nullptr) : nullptr);
    if (!result) {
        prefix_type_error(name);
        return false;
    }
    if (!PyBool_Check(result.get())) return refuse(result.get(), messages::kBoolTarget, name, messages::kExpectedBool);
    *value = result.get() == Py_True;
    return true;
}

bool to_utf8(PyObject* object, const char* name, std::string_view* text) {
    if (!PyUnicode_Check(object)) return refuse(object, messages::kStringTarget, name, messages::kExpectedStr);
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(object, &size);
    if (data == nullptr) {
        prefix_type_error(name);
        return false;
    }
    *text = std::string_view(data, static_cast<std::size_t>(size));
    return true;
}

bool to_array_list(PyObject* object, const char* name, std::vector<py::Ref>* items) {
    if (!check_sequence(object, name, messages::kExpectedArrays)) return false;
    items->clear();
    items->reserve(length_hint(object));
    // NumPy is looked up at the first item: an empty list needs no NumPy.
    const numpy::Api* api = nullptr;
    py::Ref refused;
    const bool ok = for_each_item(object, [&](py::Ref item) {
        if (api == nullptr) api = &numpy::api();
        if (!is_array(item.get(), 1, Element::Float64, *api)) {
            refused = std::move(item);
            return raise_conversion_refusal(refused.get(), messages::kArrayTarget);
        }
        items->push_back(std::move(item));
        return true;
    });
    if (!ok) {
        const std::size_t index = items->size();
        items->clear();
        prefix_type_error(name);
        if (refused) add_note([&] { return item_note(name, index, refused.get()); });
    }
    return ok;
}

bool to_double_list(PyObject* object, const char* name, std::vector<double>* values) {
    if (!check_sequence(object, name, messages::kExpectedNumbers)) return false;
    values->clear();
    // A plain float64 vector yields its elements as exact doubles when
    // iterated: read them straight from its memory instead.  (Subclasses
    // may iterate differently and take the general path.)
    if (const numpy::Api* api = numpy::api_if_imported();
        api && Py_TYPE(object) == api->array_type && is_array(object, 1, Element::Float64, *api)) {
        const numpy::ArrayFields& array = numpy::fields(object);
        const numeric::DoubleRun run{array.data, array.dimensions[0], array.strides[0]};
        values->resize(static_cast<std::size_t>(run.size));
        for (std::int64_t i = 0; i < run.size; ++i) (*values)[static_cast<std::size_t>(i)] = run[i];
        return true;
    }
    values->reserve(length_hint(object));
    const bool ok = for_each_item(object, [&](py::Ref item) {
        const double value = PyFloat_AsDouble(item.get());
        if (value == -1.0 && PyErr_Occurred()) return false;
        values->push_back(value);
        return true;
    });
    if (!ok) prefix_type_error(name);
    return ok;
}

}  // namespace qrl::binding
