#include "binding/failure_guard.h"

#include <cstdio>
#include <cstdlib>
#include <new>
#include <stdexcept>

#include "failure/internal_failure.h"

namespace qrl::binding {
namespace {

constexpr const char* kPanicDoc =
    "\n"
    "The exception raised when quorvale_rl_core's native code fails while called from Python.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that it will\n"
    "typically propagate all the way through the stack and cause the Python\n"
    "interpreter to exit.\n";

PyObject* g_panic_type = nullptr;

[[noreturn]] void abort_uncaught(const std::string& message) noexcept {
    report_failure(message, SourceLocation::current());
    report_failure("uncaught panic at ffi boundary", SourceLocation::current());
    std::abort();
}

PyObject* panic_type() noexcept {
    if (g_panic_type == nullptr) {
        g_panic_type =
            PyErr_NewExceptionWithDoc("quorvale_rl_core.PanicException", kPanicDoc, PyExc_BaseException, nullptr);
        if (g_panic_type == nullptr) abort_uncaught("Failed to initialize new exception type.");
    }
    return g_panic_type;
}

std::string utf8_of(PyObject* text) {
    Py_ssize_t size = 0;
    const char* data = text ? PyUnicode_AsUTF8AndSize(text, &size) : nullptr;
    if (data == nullptr) {
        PyErr_Clear();
        return "<unprintable>";
    }
    return std::string(data, static_cast<std::size_t>(size));
}

std::string repr_of(PyObject* object) {
    if (object == nullptr) return "None";
    py::Ref text(PyObject_Repr(object));
    return utf8_of(text.get());
}

}  // namespace

PyObject* raise_internal_failure(const std::string& message) noexcept {
    PyObject* type = panic_type();
    py::Ref text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    py::Ref instance(text ? PyObject_CallFunctionObjArgs(type, text.get(), nullptr) : nullptr);
    if (!instance) abort_uncaught(message);
    PyErr_SetObject(type, instance.get());
    return nullptr;
}

PyObject* raise_current_exception() noexcept {
    try {
        throw;
    } catch (const InternalFailure& failure) {
        return raise_internal_failure(failure.message());
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::length_error&) {  // a buffer larger than memory can hold
        return PyErr_NoMemory();
    } catch (const std::exception& error) {
        return raise_internal_failure(error.what());
    } catch (...) {
        return raise_internal_failure("unknown internal failure");
    }
}

std::string take_error_description() {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return "no Python error was set";
    PyErr_NormalizeException(&type, &value, &traceback);
    py::Ref owned_type(type), owned_value(value), owned_traceback(traceback);
    return "PyErr { type: " + repr_of(type) + ", value: " + repr_of(value) + ", traceback: " + repr_of(traceback) +
           " }";
}

}  // namespace qrl::binding
