// The failure guard around every entry point: ordinary Python exceptions
// pass through; an internal failure becomes the internal-failure exception
// (PanicException, a BaseException); memory exhaustion becomes MemoryError,
// so a long training run survives it and keeps its state.
#pragma once

#include <string>

#include "binding/py.h"

namespace qrl::binding {

// Turns the C++ exception being handled into a Python exception; returns null.
PyObject* raise_current_exception() noexcept;

// Sets the internal-failure exception with `message`; returns null.
PyObject* raise_internal_failure(const std::string& message) noexcept;

// One line naming the pending Python error's type, value and traceback;
// clears it.  Used where an internal failure wraps a Python error.
std::string take_error_description();

template <PyObject* (*Body)(PyObject* args, PyObject* kwargs)>
PyObject* guarded(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
    try {
        return Body(args, kwargs);
    } catch (...) {
        return raise_current_exception();
    }
}

}  // namespace qrl::binding
