#include "binding/arguments.h"
#include "failure/messages.h"

#include <cstring>
#include <string>

namespace qrl::binding {
namespace {

bool intern_names(ParameterList& parameters) {
    if (parameters.interned[0] != nullptr) return true;
    for (int i = 0; i < parameters.count; ++i) {
        parameters.interned[i] = PyUnicode_InternFromString(parameters.names[i]);
        if (parameters.interned[i] == nullptr) return false;
    }
    return true;
}

// Index of the parameter named `keyword`, or -1.
int find_parameter(const ParameterList& parameters, PyObject* keyword) {
    for (int i = 0; i < parameters.count; ++i)
        if (keyword == parameters.interned[i]) return i;
    Py_ssize_t size = 0;
    const char* text = PyUnicode_Check(keyword) ? PyUnicode_AsUTF8AndSize(keyword, &size) : nullptr;
    if (text == nullptr) {
        PyErr_Clear();  // unreadable keywords name no parameter
        return -1;
    }
    for (int i = 0; i < parameters.count; ++i) {
        const char* name = parameters.names[i];
        if (std::strlen(name) == static_cast<std::size_t>(size) && std::memcmp(name, text, size) == 0) return i;
    }
    return -1;
}

int positional_count(const ParameterList& parameters) {
    return parameters.positional > 0 ? parameters.positional : parameters.count;
}

[[gnu::cold]] void raise_too_many_positional(const ParameterList& parameters, Py_ssize_t given) {
    const char* verb = given == 1 ? "was" : "were";
    const int most = positional_count(parameters);
    if (parameters.required == most)
        PyErr_Format(PyExc_TypeError, messages::kTooManyPositional, parameters.function, most, given, verb);
    else
        PyErr_Format(PyExc_TypeError, messages::kTooManyPositionalRange, parameters.function, parameters.required, most,
                     given, verb);
}

[[gnu::cold]] void raise_missing(const ParameterList& parameters, const Slots& slots) {
    std::string names;
    int missing = 0;
    for (int i = 0; i < parameters.required; ++i)
        if (!slots[i]) ++missing;
    int written = 0;
    for (int i = 0; i < parameters.required; ++i) {
        if (slots[i]) continue;
        if (written > 0) names += missing == 2 ? " and " : (written == missing - 1 ? ", and " : ", ");
        names += '\'';
        names += parameters.names[i];
        names += '\'';
        ++written;
    }
    PyErr_Format(PyExc_TypeError, messages::kMissingRequired, parameters.function, missing,
                 missing == 1 ? "argument" : "arguments", names.c_str());
}

}  // namespace

bool match_arguments(ParameterList& parameters, PyObject* args, PyObject* kwargs, Slots& slots) {
    if (!intern_names(parameters)) return false;
    const Py_ssize_t given = PyTuple_Size(args);
    if (given < 0) return false;
    const int most = positional_count(parameters);
    const Py_ssize_t positional = given < most ? given : most;
    for (Py_ssize_t i = 0; i < positional; ++i) slots[i] = py::Ref::borrow(PyTuple_GetItem(args, i));
    if (given > most) {
        raise_too_many_positional(parameters, given);
        return false;
    }
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject *keyword, *value;
        while (PyDict_Next(kwargs, &position, &keyword, &value)) {
            const int index = find_parameter(parameters, keyword);
            if (index < 0) {
                PyErr_Format(PyExc_TypeError, messages::kUnexpectedKeyword, parameters.function, keyword);
                return false;
            }
            if (slots[index]) {
                PyErr_Format(PyExc_TypeError, messages::kMultipleValues, parameters.function, parameters.names[index]);
                return false;
            }
            slots[index] = py::Ref::borrow(value);
        }
    }
    for (int i = 0; i < parameters.required; ++i) {
        if (!slots[i]) {
            raise_missing(parameters, slots);
            return false;
        }
    }
    return true;
}

}  // namespace qrl::binding
