// What compute_grpo_advantages and compute_grpo_advantages_ragged share:
// the baseline and standardisation names, the statistics' keywords, and the
// result array (new, or the caller's `out`).  Unknown names are refused
// with ValueError: a misspelt baseline must not silently select another one.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "binding/arguments.h"
#include "binding/array_record.h"
#include "binding/conversions.h"
#include "binding/py.h"
#include "binding/results.h"
#include "failure/messages.h"
#include "kernels/group_advantages.h"
#include "numeric/scratch.h"

namespace qrl::binding::functions {

// Converts the optional `baseline_type` and `scale` slots (absent: "mean"
// and "group"); false with the exception set.
inline bool to_group_choice(const py::Ref& baseline_slot, const py::Ref& scale_slot, kernels::GroupBaseline* baseline,
                            kernels::GroupScale* scale) {
    std::string_view baseline_name = "mean", scale_name = "group";
    if (!convert_if_given(baseline_slot, to_utf8, "baseline_type", &baseline_name) ||
        !convert_if_given(scale_slot, to_utf8, "scale", &scale_name))
        return false;
    if (!kernels::group_baseline_from_name(baseline_name, baseline)) {
        PyErr_Format(PyExc_ValueError, messages::kUnknownBaseline, std::string(baseline_name).c_str());
        return false;
    }
    if (!kernels::group_scale_from_name(scale_name, scale)) {
        PyErr_Format(PyExc_ValueError, messages::kUnknownScale, std::string(scale_name).c_str());
        return false;
    }
    return true;
}

// The keywords std_ddof, epsilon and std_floor (absent: 0, 1e-8, 1e-8).
inline bool to_standardisation(const py::Ref& ddof_slot, const py::Ref& epsilon_slot, const py::Ref& floor_slot,
                               const char* function, kernels::Standardisation* statistics) {
    if (!convert_if_given(ddof_slot, to_int64, "std_ddof", &statistics->ddof) ||
        !convert_if_given(epsilon_slot, to_double, "epsilon", &statistics->epsilon) ||
        !convert_if_given(floor_slot, to_double, "std_floor", &statistics->floor))
        return false;
    if (statistics->ddof == 0 || statistics->ddof == 1) return true;
    PyErr_Format(PyExc_ValueError, messages::kBadDdof, function, static_cast<long long>(statistics->ddof));
    return false;
}

inline bool given(const py::Ref& slot) { return slot && slot.get() != Py_None; }

// The buffer a float32 or strided group result is formed in before it is
// rounded into place, kept between calls (a call that finds it taken makes
// its own).
inline numeric::KeptBuffer& kept_rounding_buffer() {
    static numeric::KeptBuffer buffer;
    return buffer;
}

// The array a group function returns and writes: the caller's `out` (of
// either precision, any strides), or a new C-ordered array of the rewards'
// precision and shape.
struct GroupResult {
    py::Ref array;
    numeric::OutputMatrix target;
    bool direct = false;  // the kernel may write target.data as packed doubles

    // Runs `kernel(double* out)` into the target: straight into a packed
    // float64 target that no input shares memory with, else through a buffer
    // rounded into the target at the end (so an `out` over the rewards reads
    // every reward before the first is overwritten).
    template <class Kernel>
    void fill(std::int64_t total, Kernel&& kernel) const {
        if (direct) return kernel(reinterpret_cast<double*>(target.data));
        numeric::ReusedScratch buffer(kept_rounding_buffer(), static_cast<std::size_t>(total));
        kernel(buffer.data());
        numeric::store_matrix(buffer.data(), target);
    }
};

// Records the caller's `out`, when given: a writeable array of the rewards'
// shape.
inline bool record_group_out(const py::Ref& out_slot, const ArrayRecord& rewards, const char* function,
                             ArrayRecord* out) {
    if (!given(out_slot)) return true;
    if (!record_output(out_slot.get(), function, "out", rewards.ndim, out)) return false;
    bool same = true;
    for (int d = 0; d < rewards.ndim; ++d) same &= out->shape[d] == rewards.shape[d];
    if (same) return true;
    py::Ref got = shape_tuple(*out), want = shape_tuple(rewards);
    if (got && want) PyErr_Format(PyExc_ValueError, messages::kOutShape, function, "out", got.get(), want.get());
    return false;
}

// The result, once every record is known to hold: `out`, or a new array.
inline bool group_result(const ArrayRecord& out, const ArrayRecord& rewards, GroupResult* result) {
    if (out.present()) {
        result->array = py::Ref::borrow(out.array.get());
        result->target = out.output();
        result->direct = result->target.is_packed_doubles() && !memory_meets(out, rewards);
        return true;
    }
    result->array = new_real_array(rewards.precision, rewards.ndim, rewards.shape, &result->target);
    result->direct = result->target.is_packed_doubles();
    return static_cast<bool>(result->array);
}

// The docstring lines of the shared parameters.
#define QRL_GROUP_CHOICE_DOC                                                             \
    "    baseline_type: \"mean\" (default), \"median\", \"min\", or \"leave_one_out\"\n" \
    "        (mean of the other members; a lone member is its own baseline)\n"           \
    "    scale: \"group\" (default: each group standardised by its own statistics,\n"    \
    "        as compute_group_advantages with normalize=True), \"batch\" (by the\n"      \
    "        mean and standard deviation of all advantages), or \"none\"\n"
#define QRL_GROUP_STATISTICS_DOC                                                   \
    "    std_ddof: 0 (default, population) or 1 (unbiased) standard deviation\n"   \
    "    epsilon: added to the standard deviation in the divisor (default 1e-8)\n" \
    "    std_floor: groups whose standard deviation is at or below it are left\n"  \
    "        unscaled (default 1e-8)\n"                                            \
    "    out: an array of the result's shape (float32 or float64) to write into\n"

}  // namespace qrl::binding::functions
