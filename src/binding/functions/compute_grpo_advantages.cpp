// compute_grpo_advantages: group-relative advantages of equal-size groups
// (rows), with more baselines and standardisations; one parallel item per
// group.  Parameter list, defaults, docstring and body of the Python function.

#include "binding/arguments.h"
#include "binding/conversions.h"
#include "binding/function_definition.h"
#include "binding/functions/group_choice.h"
#include "binding/results.h"
#include "kernels/group_baselines.h"

namespace qrl::binding::functions {
namespace {

constexpr const char* kDoc =
    "compute_grpo_advantages(rewards, baseline_type=\"mean\", scale=\"group\")\n--\n\n"
    "Compute group-relative advantages of equal-size groups\n"
    "\n"
    "Groups run in parallel; sums run in index order, so results are exact\n"
    "and the same whatever the thread count.\n"
    "\n"
    "Args:\n"
    "    rewards: float64 array (num_groups, group_size), one row per group\n" QRL_GROUP_CHOICE_DOC
    "\n"
    "Returns:\n"
    "    float64 array of advantages with the shape of rewards";

PyObject* body(PyObject* args, PyObject* kwargs) {
    static ParameterList parameters{"compute_grpo_advantages", {"rewards", "baseline_type", "scale"}, 3, 1};
    Slots slot;
    kernels::GroupBaseline baseline;
    kernels::GroupScale scale;
    if (!match_arguments(parameters, args, kwargs, slot) ||
        !check_array(slot[0].get(), 2, Element::Float64, "rewards") ||
        !to_group_choice(slot[1], slot[2], &baseline, &scale))
        return nullptr;
    numeric::DoubleMatrix rewards;
    if (!view_matrix(slot[0].get(), "rewards", &rewards)) return nullptr;

    // Zero strides can describe more elements than memory holds.
    std::int64_t total;
    if (__builtin_mul_overflow(rewards.rows, rewards.columns, &total)) return PyErr_NoMemory();
    double* out = nullptr;
    py::Ref result = new_float64_matrix(rewards.rows, rewards.columns, &out);
    if (!result) return nullptr;
    kernels::matrix_group_advantages(rewards, baseline, scale, out);
    return result.release();
}

}  // namespace

PyMethodDef compute_grpo_advantages = define_function<body>("compute_grpo_advantages", kDoc);

}  // namespace qrl::binding::functions
