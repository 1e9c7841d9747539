// Argument matching: positional and keyword arguments against a function's
// fixed parameter list (no positional-only or catch-all parameters; the
// required ones lead, keyword-only ones close the list).
#pragma once

#include <array>
#include <cstddef>

#include "binding/py.h"

namespace qrl::binding {

constexpr std::size_t kMaxParameters = 16;

struct ParameterList {
    const char* function;  // "compute_gae"
    std::array<const char*, kMaxParameters> names;
    int count;
    int required;
    // Parameters that may be passed by position; 0 means all of them (the
    // rest are keyword-only).
    int positional = 0;
    // Interned names, filled on first use, for identity matching of keywords.
    std::array<PyObject*, kMaxParameters> interned{};
};

// One owned reference per parameter, empty when it was not passed.
using Slots = std::array<py::Ref, kMaxParameters>;

// Slot i receives a new reference to the object passed for parameter i, or
// stays empty.  Returns false with a TypeError set.
bool match_arguments(ParameterList& parameters, PyObject* args, PyObject* kwargs, Slots& slots);

// Converts an optional parameter when it was passed, even as None; only an
// absent one keeps the default already in *value.
template <class Value>
bool convert_if_given(const py::Ref& slot, bool (*convert)(PyObject*, const char*, Value*), const char* name,
                      Value* value) {
    return !slot || convert(slot.get(), name, value);
}

}  // namespace qrl::binding
