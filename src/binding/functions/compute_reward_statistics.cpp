// compute_reward_statistics: mean, std, min, max, median and count of a batch.
// Parameter list, defaults, docstring and body of the Python function.
#include <vector>

#include "binding/arguments.h"
#include "binding/conversions.h"
#include "binding/failure_guard.h"
#include "binding/function_definition.h"
#include "failure/internal_failure.h"
#include "failure/messages.h"
#include "kernels/reward_kernels.h"

namespace qrl::binding::functions {
namespace {

constexpr const char* kDoc =
    "compute_reward_statistics(rewards)\n--\n\n"
    "Compute reward statistics for a batch of trajectories";

// Stores a float under `key`; a failing store is an internal failure.
void set_float_item(PyObject* dict, const char* key, double value) {
    py::Ref number(PyFloat_FromDouble(value));
    if (!number || PyDict_SetItemString(dict, key, number.get()) < 0)
        fail(messages::kDictStore + take_error_description());
}

PyObject* body(PyObject* args, PyObject* kwargs) {
    static ParameterList parameters{"compute_reward_statistics", {"rewards"}, 1, 1};
    Slots slot;
    std::vector<double> values;
    if (!match_arguments(parameters, args, kwargs, slot) || !to_double_list(slot[0].get(), "rewards", &values))
        return nullptr;

    py::Ref dict(PyDict_New());
    if (!dict) return nullptr;
    if (values.empty()) {
        for (const char* key : {"mean", "std", "min", "max", "median"}) set_float_item(dict.get(), key, 0.0);
        return dict.release();
    }
    const kernels::RewardStatistics stats = kernels::reward_statistics(values);
    set_float_item(dict.get(), "mean", stats.mean);
    set_float_item(dict.get(), "std", stats.std);
    set_float_item(dict.get(), "min", stats.min);
    set_float_item(dict.get(), "max", stats.max);
    set_float_item(dict.get(), "median", stats.median);
    set_float_item(dict.get(), "count", static_cast<double>(values.size()));
    return dict.release();
}

}  // namespace

PyMethodDef compute_reward_statistics = define_function<body>("compute_reward_statistics", kDoc);

}  // namespace qrl::binding::functions
