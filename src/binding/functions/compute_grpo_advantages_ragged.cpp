// compute_grpo_advantages_ragged: group-relative advantages of groups of any
// sizes, given as a flat reward vector and the groups' lengths; one parallel
// item per group.  Parameter list, defaults, docstring and body of the
// Python function.
#include <vector>

#include "binding/arguments.h"
#include "binding/conversions.h"
#include "binding/function_definition.h"
#include "binding/functions/group_choice.h"
#include "binding/results.h"
#include "failure/messages.h"
#include "kernels/group_baselines.h"

namespace qrl::binding::functions {
namespace {

constexpr const char* kDoc =

    "compute_grpo_advantages_ragged(rewards, group_lengths, baseline_type=\"mean\", scale=\"group\")\n--\n\n"
    "Compute group-relative advantages of groups of any sizes\n"
    "\n"
    "Group g holds the next group_lengths[g] rewards of the flat vector.\n"
    "Groups run in parallel; sums run in index order, so results are exact\n"
    "and the same whatever the thread count.\n"
    "\n"
    "Args:\n"
    "    rewards: float64 array (n,), the groups one after another\n"
    "    group_lengths: int64 array, each >= 0, summing to n\n" QRL_GROUP_CHOICE_DOC
    "\n"
    "Returns:\n"
    "    float64 array (n,) of advantages in the order of rewards";

// Copies the lengths, refusing negative ones and a total other than `n`.
bool read_lengths(const VectorView& view, std::int64_t n, std::vector<std::int64_t>* lengths) {
    const numeric::Int64Run run = view.int64s();
    lengths->resize(static_cast<std::size_t>(run.size));
    std::int64_t total = 0;
    for (std::int64_t g = 0; g < run.size; ++g) {
        const std::int64_t length = run[g];
        if (length < 0) {
            PyErr_Format(PyExc_ValueError, messages::kNegativeGroupLength, static_cast<long long>(g),
                         static_cast<long long>(length));
            return false;
        }
        if (__builtin_add_overflow(total, length, &total)) total = INT64_MAX;
        (*lengths)[static_cast<std::size_t>(g)] = length;
    }
    if (total == n) return true;
    PyErr_Format(PyExc_ValueError, messages::kGroupLengthsTotal, static_cast<long long>(total),
                 static_cast<long long>(n));
    return false;
}

PyObject* body(PyObject* args, PyObject* kwargs) {
    static ParameterList parameters{
        "compute_grpo_advantages_ragged", {"rewards", "group_lengths", "baseline_type", "scale"}, 4, 2};
    Slots slot;
    kernels::GroupBaseline baseline;
    kernels::GroupScale scale;
    if (!match_arguments(parameters, args, kwargs, slot) ||
        !check_array(slot[0].get(), 1, Element::Float64, "rewards") ||
        !check_array(slot[1].get(), 1, Element::Int64, "group_lengths") ||
        !to_group_choice(slot[2], slot[3], &baseline, &scale))
        return nullptr;
    VectorView rewards, lengths_view;
    std::vector<std::int64_t> lengths;
    if (!view_vector(slot[0].get(), Element::Float64, "rewards", &rewards) ||
        !view_vector(slot[1].get(), Element::Int64, "group_lengths", &lengths_view) ||
        !read_lengths(lengths_view, rewards.size, &lengths))
        return nullptr;

    double* out = nullptr;
    py::Ref result = new_float64_vector(rewards.size, &out);
    if (!result) return nullptr;
    kernels::ragged_group_advantages(rewards.doubles(), lengths, baseline, scale, out);
    return result.release();
}

}  // namespace

PyMethodDef compute_grpo_advantages_ragged = define_function<body>("compute_grpo_advantages_ragged", kDoc);

}  // namespace qrl::binding::functions
