// What each Python function's file exports: its entry in the module's
// function table (name, guarded entry point, calling flags, docstring).
// The docstring starts with the text signature and "--" so that the
// interpreter derives __text_signature__ from it.
#pragma once

#include "binding/failure_guard.h"
#include "binding/py.h"

namespace qrl::binding {

using FunctionBody = PyObject* (*)(PyObject * args, PyObject* kwargs);

template <FunctionBody Body>
PyMethodDef define_function(const char* name, const char* doc) noexcept {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<Body>)),
            METH_VARARGS | METH_KEYWORDS, doc};
}

}  // namespace qrl::binding
