// The baseline and standardisation names shared by compute_grpo_advantages
// and compute_grpo_advantages_ragged.  Unknown names are refused with
// ValueError: a misspelt baseline must not silently select another one.
#pragma once

#include <string>
#include <string_view>

#include "binding/arguments.h"
#include "binding/conversions.h"
#include "binding/py.h"
#include "failure/messages.h"
#include "kernels/group_baselines.h"

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

// The docstring lines of the two parameters.
#define QRL_GROUP_CHOICE_DOC                                                             \
    "    baseline_type: \"mean\" (default), \"median\", \"min\", or \"leave_one_out\"\n" \
    "        (mean of the other members; a lone member is its own baseline)\n"           \
    "    scale: \"group\" (default: each group standardised by its own statistics,\n"    \
    "        as compute_group_advantages with normalize=True), \"batch\" (by the\n"      \
    "        mean and standard deviation of all advantages), or \"none\"\n"

}  // namespace qrl::binding::functions
