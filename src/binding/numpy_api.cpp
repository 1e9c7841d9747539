#include "binding/numpy_api.h"

#include "binding/failure_guard.h"
#include "failure/internal_failure.h"
#include "failure/messages.h"

namespace qrl::numpy {
namespace {

// Slots of NumPy's C-API table ("_ARRAY_API"); NumPy keeps them fixed
// across 1.x and 2.x.
enum ApiSlot : int {
    kArrayTypeSlot = 2,       // PyArray_Type
    kDescrFromTypeSlot = 45,  // PyArray_DescrFromType
    kNewFromDescrSlot = 94,   // PyArray_NewFromDescr (steals the descriptor, even on failure)
    kEquivTypesSlot = 182,    // PyArray_EquivTypes
};

Api g_api;
bool g_ready = false;

py::Ref import_multiarray() {
    // NumPy 2 moved the module; importing the old path there warns.
    py::Ref module(PyImport_ImportModule("numpy._core.multiarray"));
    if (!module && PyErr_ExceptionMatches(PyExc_ImportError)) {
        PyErr_Clear();
        module = py::Ref(PyImport_ImportModule("numpy.core.multiarray"));
    }
    return module;
}

bool load() {
    py::Ref module = import_multiarray();
    if (!module) return false;
    py::Ref capsule(PyObject_GetAttrString(module.get(), "_ARRAY_API"));
    if (!capsule) return false;
    auto** table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
    if (table == nullptr) return false;
    Api api;
    api.array_type = static_cast<PyTypeObject*>(table[kArrayTypeSlot]);
    api.descr_from_type = reinterpret_cast<decltype(api.descr_from_type)>(table[kDescrFromTypeSlot]);
    api.new_from_descr = reinterpret_cast<decltype(api.new_from_descr)>(table[kNewFromDescrSlot]);
    api.equiv_types = reinterpret_cast<decltype(api.equiv_types)>(table[kEquivTypesSlot]);
    api.float64_descr = api.descr_from_type(kDoubleType);
    if (api.float64_descr == nullptr) return false;
    api.float32_descr = api.descr_from_type(kFloatType);
    if (api.float32_descr == nullptr) return false;
    api.int64_descr = api.descr_from_type(kLongType);
    if (api.int64_descr == nullptr) return false;
    api.bool_descr = api.descr_from_type(kBoolType);
    if (api.bool_descr == nullptr) return false;
    // The table (and with it the descriptors) lives as long as NumPy, which
    // is never unloaded; hold the module so that stays true.
    Py_INCREF(module.get());
    g_api = api;
    return true;
}

}  // namespace

const Api& api() {
    if (!g_ready) {
        if (!load()) fail(messages::kNumpyCapsule + binding::take_error_description());
        g_ready = true;
    }
    return g_api;
}

const Api* api_if_imported() {
    if (g_ready) return &g_api;
    // An ndarray argument means NumPy is in sys.modules; without it there is
    // nothing to look up (and nothing to import).
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* numpy_module = modules ? PyDict_GetItemString(modules, "numpy") : nullptr;
    if (numpy_module == nullptr || numpy_module == Py_None) return nullptr;
    if (!load()) {
        PyErr_Clear();
        return nullptr;
    }
    g_ready = true;
    return &g_api;
}

}  // namespace qrl::numpy
