// compute_grpo_advantages: group-relative advantages of equal-size groups
// (rows), with more baselines and standardisations; one parallel item per
// group.  Parameter list, defaults, docstring and body of the Python function.

#include "binding/arguments.h"
#include "binding/conversions.h"
#include "binding/function_definition.h"
#include "binding/functions/group_choice.h"
#include "kernels/group_advantages.h"

namespace qrl::binding::functions {
namespace {

constexpr const char* kFunction = "compute_grpo_advantages";

constexpr const char* kDoc =
    "compute_grpo_advantages(rewards, baseline_type=\"mean\", scale=\"group\", *, std_ddof=0, epsilon=1e-08, "
    "std_floor=1e-08, out=None)\n--\n\n"
    "Compute group-relative advantages of equal-size groups\n"
    "\n"
    "Groups run in parallel; sums run in index order, so results are exact\n"
    "and the same whatever the thread count.\n"
    "\n"
    "Args:\n"
    "    rewards: float32 or float64 array (num_groups, group_size), one row per "
    "group\n" QRL_GROUP_CHOICE_DOC QRL_GROUP_STATISTICS_DOC
    "\n"
    "Returns:\n"
    "    array of advantages with the shape of rewards, float32 for float32\n"
    "    rewards (computed in float64, rounded once), else float64; out when given";

PyObject* body(PyObject* args, PyObject* kwargs) {
    static ParameterList parameters{
        kFunction, {"rewards", "baseline_type", "scale", "std_ddof", "epsilon", "std_floor", "out"}, 7, 1, 3};
    Slots slot;
    ArrayRecord rewards, out;
    kernels::GroupBaseline baseline;
    kernels::GroupScale scale;
    kernels::Standardisation statistics;
    if (!match_arguments(parameters, args, kwargs, slot) ||
        !record_array(slot[0].get(), 2, Element::Real, "rewards", &rewards) ||
        !to_group_choice(slot[1], slot[2], &baseline, &scale) ||
        !to_standardisation(slot[3], slot[4], slot[5], kFunction, &statistics) ||
        !record_group_out(slot[6], rewards, kFunction, &out) || !unchanged({&rewards, &out}, kFunction))
        return nullptr;

    // Zero strides can describe more elements than memory holds.
    std::int64_t total;
    if (__builtin_mul_overflow(rewards.rows(), rewards.columns(), &total)) return PyErr_NoMemory();
    GroupResult result;
    if (!group_result(out, rewards, &result)) return nullptr;
    if (total == 0) return result.array.release();  // however many empty rows
    const numeric::ValueMatrix matrix = rewards.values();
    result.fill(total, [&](double* to) { kernels::matrix_group_advantages(matrix, baseline, scale, statistics, to); });
    return result.array.release();
}

}  // namespace

PyMethodDef compute_grpo_advantages = define_function<body>(kFunction, kDoc);

}  // namespace qrl::binding::functions
