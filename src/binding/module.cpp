// The module's entry point: PyInit_quorvale_rl_core, the function table and
// the module attributes.  Single-phase initialisation: one module object per
// process, owned by the first interpreter that imports it.
#include <atomic>
#include <cstdint>

#include "binding/conversions.h"
#include "binding/failure_guard.h"
#include "binding/functions/table.h"
#include "binding/version.h"
#include "failure/internal_failure.h"
#include "failure/messages.h"

namespace qrl::binding {

namespace functions {
#define QRL_DECLARE_FUNCTION(name) extern PyMethodDef name;
QRL_MODULE_FUNCTIONS(QRL_DECLARE_FUNCTION)
#undef QRL_DECLARE_FUNCTION
}  // namespace functions

namespace {

// Lives as long as the process: the function objects point into the entries.
PyMethodDef* const g_functions[] = {
#define QRL_TABLE_ENTRY(name) &functions::name,
    QRL_MODULE_FUNCTIONS(QRL_TABLE_ENTRY)
#undef QRL_TABLE_ENTRY
};

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT,
    "quorvale_rl_core",
    "Python module definition",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

std::atomic<std::int64_t> g_first_interpreter{-1};
PyObject* g_module = nullptr;

bool set_fallback_error_if_none() {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, messages::kNoExceptionSet);
    return false;
}

// Appends `name` to the module's __all__ (creating the list when missing)
// and binds `value` under it.
bool add_exported(PyObject* module, PyObject* name, PyObject* value) {
    py::Ref all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = py::Ref(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    }
    if (!PyList_Check(all.get())) return raise_conversion_refusal(all.get(), messages::kListTarget);
    if (PyList_Append(all.get(), name) < 0) fail("could not append __name__ to __all__: " + take_error_description());
    return PyObject_SetAttr(module, name, value) == 0;
}

bool fill_module(PyObject* module) {
    py::Ref module_name(PyModule_GetNameObject(module));
    if (!module_name) return false;
    for (PyMethodDef* definition : g_functions) {
        py::Ref function(PyCMethod_New(definition, module, module_name.get(), nullptr));
        if (!function) return false;
        py::Ref name(PyObject_GetAttrString(function.get(), "__name__"));
        if (!name) return false;
        if (!PyUnicode_Check(name.get())) return raise_conversion_refusal(name.get(), messages::kStringTarget);
        if (!add_exported(module, name.get(), function.get())) return false;
    }
    py::Ref version_name(PyUnicode_FromString("__version__"));
    py::Ref version(PyUnicode_FromString(kVersion));
    return version_name && version && add_exported(module, version_name.get(), version.get());
}

PyObject* initialize() {
    const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter == -1) {
        set_fallback_error_if_none();
        return nullptr;
    }
    std::int64_t expected = -1;
    if (!g_first_interpreter.compare_exchange_strong(expected, interpreter) && expected != interpreter) {
        PyErr_SetString(PyExc_ImportError, messages::kSubInterpreter);
        return nullptr;
    }
    if (g_module != nullptr) {
        Py_INCREF(g_module);
        return g_module;
    }
    py::Ref module(PyModule_Create2(&g_definition, PYTHON_ABI_VERSION));
    if (!module) {
        set_fallback_error_if_none();
        return nullptr;
    }
    if (!fill_module(module.get())) {
        set_fallback_error_if_none();
        return nullptr;
    }
    if (g_module == nullptr) g_module = module.release();
    Py_INCREF(g_module);
    return g_module;
}

}  // namespace
}  // namespace qrl::binding

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_quorvale_rl_core() {
    try {
        return qrl::binding::initialize();
    } catch (...) {
        return qrl::binding::raise_current_exception();
    }
}
