// Shared by the functions whose two leading parameters are float64 vectors
// (the two log-probability arrays, or ratios and advantages).
#pragma once

#include <algorithm>
#include <cstdint>

#include "binding/arguments.h"
#include "binding/conversions.h"
#include "binding/results.h"
#include "numeric/runs.h"

namespace qrl::binding::functions {

inline bool check_pair(const Slots& slot, const char* first, const char* second) {
    return check_array(slot[0].get(), 1, Element::Float64, first) &&
           check_array(slot[1].get(), 1, Element::Float64, second);
}

// Views of the two leading vectors, contiguity tested in order.
inline bool view_pair(const Slots& slot, const char* first, const char* second, VectorView* a, VectorView* b) {
    return view_vector(slot[0].get(), Element::Float64, first, a) &&
           view_vector(slot[1].get(), Element::Float64, second, b) && require_contiguous(*a) && require_contiguous(*b);
}

// The common tail of the ratio/advantage functions: views, the shorter
// length, the result array, and the kernel writing into it.
template <class Kernel>
PyObject* ratio_advantage_result(const Slots& slot, Kernel kernel) {
    VectorView ratios, advantages;
    if (!view_pair(slot, "ratios", "advantages", &ratios, &advantages)) return nullptr;
    const std::int64_t n = std::min(ratios.size, advantages.size);
    double* out = nullptr;
    py::Ref result = new_float64_vector(n, &out);
    if (!result) return nullptr;
    kernel(ratios.doubles(), advantages.doubles(), n, out);
    return result.release();
}

}  // namespace qrl::binding::functions
