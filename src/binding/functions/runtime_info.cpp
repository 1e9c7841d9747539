// runtime_info: what the module decided for this process (instruction-set
// path, worker pool size and why), for logs and bug reports.
#include "binding/arguments.h"
#include "binding/function_definition.h"
#include "binding/version.h"
#include "kernels/vector_kernels.h"
#include "parallel/parallel_map.h"

namespace qrl::binding::functions {
namespace {

constexpr const char* kDoc =
    "runtime_info()\n--\n\n"
    "What this process runs with: version, instruction-set path, worker pool size and how it was decided";

const char* source_name(parallel::PoolSizeSource source) {
    switch (source) {
        case parallel::PoolSizeSource::PrimaryVariable: return "RAYON_NUM_THREADS";
        case parallel::PoolSizeSource::SecondaryVariable: return "RAYON_RS_NUM_CPUS";
        case parallel::PoolSizeSource::Affinity: return "affinity";
        case parallel::PoolSizeSource::Quota: return "quota";
        case parallel::PoolSizeSource::Online: return "online";
    }
    return "online";
}

// Sets info[key] = value and drops the reference to value.
bool set_item(PyObject* info, const char* key, PyObject* value) {
    py::Ref owned(value);
    return owned && PyDict_SetItemString(info, key, owned.get()) == 0;
}

PyObject* text_or_none(const char* text) {
    if (text != nullptr) return PyUnicode_FromString(text);
    Py_INCREF(Py_None);
    return Py_None;
}

PyObject* body(PyObject* args, PyObject* kwargs) {
    static ParameterList parameters{"runtime_info", {}, 0, 0};
    Slots slot;
    if (!match_arguments(parameters, args, kwargs, slot)) return nullptr;
    const kernels::InstructionSetChoice isa = kernels::instruction_set_choice();
    const parallel::PoolReport pool = parallel::pool_report();

    py::Ref allowed(PyList_New(0));
    if (!allowed) return nullptr;
    for (int i = 0; i < isa.allowed_count; ++i) {
        py::Ref name(PyUnicode_FromString(isa.allowed[i]));
        if (!name || PyList_Append(allowed.get(), name.get()) < 0) return nullptr;
    }
    PyObject* quota = nullptr;
    if (pool.size.quota) {
        quota = PyFloat_FromDouble(*pool.size.quota);
    } else {
        Py_INCREF(Py_None);
        quota = Py_None;
    }
    py::Ref info(PyDict_New());
    if (!info || !set_item(info.get(), "version", PyUnicode_FromString(kVersion)) ||
        !set_item(info.get(), "instruction_set", PyUnicode_FromString(isa.chosen)) ||
        !set_item(info.get(), "instruction_sets_allowed", allowed.release()) ||
        !set_item(info.get(), "cpu_features_cap", text_or_none(isa.cap)) ||
        !set_item(info.get(), "pool_threads", PyLong_FromUnsignedLong(pool.size.threads)) ||
        !set_item(info.get(), "pool_threads_source", PyUnicode_FromString(source_name(pool.size.source))) ||
        !set_item(info.get(), "pool_started", PyBool_FromLong(pool.started)) ||
        !set_item(info.get(), "pool_failure", text_or_none(pool.failure.empty() ? nullptr : pool.failure.c_str())) ||
        !set_item(info.get(), "online_processors", PyLong_FromUnsignedLongLong(pool.size.online)) ||
        !set_item(info.get(), "affinity_processors", PyLong_FromUnsignedLongLong(pool.size.affinity)) ||
        !set_item(info.get(), "cpu_quota", quota))
        return nullptr;
    return info.release();
}

}  // namespace

PyMethodDef runtime_info = define_function<body>("runtime_info", kDoc);

}  // namespace qrl::binding::functions
