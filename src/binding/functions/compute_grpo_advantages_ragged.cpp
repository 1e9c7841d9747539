// compute_grpo_advantages_ragged: group-relative advantages of groups of any
// sizes, given as a flat reward vector and the groups' lengths or labels;
// one parallel item per group.  Parameter list, defaults, docstring and body
// of the Python function.
#include <vector>

#include "binding/arguments.h"
#include "binding/conversions.h"
#include "binding/function_definition.h"
#include "binding/functions/group_choice.h"
#include "failure/messages.h"
#include "kernels/group_advantages.h"

namespace qrl::binding::functions {
namespace {

constexpr const char* kFunction = "compute_grpo_advantages_ragged";

constexpr const char* kDoc =
    "compute_grpo_advantages_ragged(rewards, group_lengths=None, baseline_type=\"mean\", scale=\"group\", *, "
    "group_ids=None, std_ddof=0, epsilon=1e-08, std_floor=1e-08, out=None)\n--\n\n"
    "Compute group-relative advantages of groups of any sizes\n"
    "\n"
    "Group g holds the next group_lengths[g] rewards of the flat vector; or,\n"
    "with group_ids, the members that share a label, in any order.\n"
    "Groups run in parallel; sums run in input order, so results are exact\n"
    "and the same whatever the thread count.\n"
    "\n"
    "Args:\n"
    "    rewards: float32 or float64 array (n,), the groups' rewards\n"
    "    group_lengths: int64 array, each >= 0, summing to n (or None)\n" QRL_GROUP_CHOICE_DOC
    "    group_ids: int64 array (n,), the group label of each reward (or None);\n"
    "        exactly one of group_lengths and group_ids\n" QRL_GROUP_STATISTICS_DOC
    "\n"
    "Returns:\n"
    "    array (n,) of advantages in the order of rewards, float32 for float32\n"
    "    rewards (computed in float64, rounded once), else float64; out when given";

// Copies the lengths, refusing negative ones and a total other than `n`.
bool read_lengths(const ArrayRecord& view, std::int64_t n, std::vector<std::int64_t>* lengths) {
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

bool read_ids(const ArrayRecord& view, std::int64_t n, std::vector<std::int64_t>* ids) {
    if (view.rows() != n) {
        PyErr_Format(PyExc_ValueError, messages::kGroupIdsLength, static_cast<long long>(view.rows()),
                     static_cast<long long>(n));
        return false;
    }
    const numeric::Int64Run run = view.int64s();
    ids->resize(static_cast<std::size_t>(n));
    for (std::int64_t j = 0; j < n; ++j) (*ids)[static_cast<std::size_t>(j)] = run[j];
    return true;
}

PyObject* body(PyObject* args, PyObject* kwargs) {
    static ParameterList parameters{
        kFunction,
        {"rewards", "group_lengths", "baseline_type", "scale", "group_ids", "std_ddof", "epsilon", "std_floor", "out"},
        9,
        1,
        4};
    Slots slot;
    ArrayRecord rewards, lengths, ids, out;
    kernels::GroupBaseline baseline;
    kernels::GroupScale scale;
    kernels::Standardisation statistics;
    if (!match_arguments(parameters, args, kwargs, slot) ||
        !record_array(slot[0].get(), 1, Element::Real, "rewards", &rewards) ||
        (given(slot[1]) && !record_array(slot[1].get(), 1, Element::Int64, "group_lengths", &lengths)) ||
        !to_group_choice(slot[2], slot[3], &baseline, &scale) ||
        (given(slot[4]) && !record_array(slot[4].get(), 1, Element::Int64, "group_ids", &ids)) ||
        !to_standardisation(slot[5], slot[6], slot[7], kFunction, &statistics))
        return nullptr;
    if (lengths.present() == ids.present()) {
        PyErr_SetString(PyExc_ValueError, messages::kGroupsGivenTwice);
        return nullptr;
    }
    std::vector<std::int64_t> groups;
    if (!record_group_out(slot[8], rewards, kFunction, &out) || !unchanged({&rewards, &lengths, &ids, &out}, kFunction))
        return nullptr;
    const std::int64_t n = rewards.rows();
    if (lengths.present() ? !read_lengths(lengths, n, &groups) : !read_ids(ids, n, &groups)) return nullptr;

    GroupResult result;
    if (!group_result(out, rewards, &result)) return nullptr;
    const numeric::ValueRun run = rewards.value_run();
    result.fill(n, [&](double* to) {
        if (ids.present())
            kernels::labelled_group_advantages(run, groups, baseline, scale, statistics, to);
        else
            kernels::ragged_group_advantages(run, groups, baseline, scale, statistics, to);
    });
    return result.array.release();
}

}  // namespace

PyMethodDef compute_grpo_advantages_ragged = define_function<body>(kFunction, kDoc);

}  // namespace qrl::binding::functions
