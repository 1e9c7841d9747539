// normalize_rewards, clip_rewards_py, compute_reward_statistics.
#include <limits>
#include <vector>

#include "binding/arguments.h"
#include "binding/conversions.h"
#include "binding/entry_points.h"
#include "binding/failure_guard.h"
#include "binding/results.h"
#include "failure/internal_failure.h"
#include "kernels/reward_kernels.h"

namespace qrl::binding {
namespace {

// Stores a float under `key`; a failing store is an internal failure.
void set_float_item(PyObject* dict, const char* key, double value) {
    py::Ref number(PyFloat_FromDouble(value));
    if (!number || PyDict_SetItemString(dict, key, number.get()) < 0)
        fail("Failed to set_item on dict: " + take_error_description());
}

}  // namespace

PyObject* normalize_rewards(PyObject* args, PyObject* kwargs) {
    static ParameterList parameters{
        "normalize_rewards", {"rewards", "running_mean", "running_var", "count", "epsilon"}, 5, 1};
    Slots slot;
    kernels::RunningStatistics in{0.0, 1.0, 0};
    double epsilon = 1e-8;
    if (!match_arguments(parameters, args, kwargs, slot) ||
        !check_array(slot[0].get(), 1, Element::Float64, "rewards") ||
        (slot[1] && !to_double(slot[1].get(), "running_mean", &in.mean)) ||
        (slot[2] && !to_double(slot[2].get(), "running_var", &in.variance)) ||
        (slot[3] && !to_int64(slot[3].get(), "count", &in.count)) ||
        (slot[4] && !to_double(slot[4].get(), "epsilon", &epsilon)))
        return nullptr;
    VectorView rewards;
    if (!view_vector(slot[0].get(), Element::Float64, "rewards", &rewards) || !require_contiguous(rewards))
        return nullptr;
    // The new count must stay a signed 64-bit integer; never wrap around.
    if (rewards.size > 0 && in.count > std::numeric_limits<std::int64_t>::max() - rewards.size) {
        PyErr_SetString(PyExc_OverflowError, "count + len(rewards) does not fit in a signed 64-bit integer");
        return nullptr;
    }

    double* out = nullptr;
    py::Ref standardized = new_float64_vector(rewards.size, &out);
    if (!standardized) return nullptr;
    const kernels::RunningStatistics stats = kernels::normalize_rewards(rewards.doubles(), in, epsilon, out);
    py::Ref mean(PyFloat_FromDouble(stats.mean));
    py::Ref variance(PyFloat_FromDouble(stats.variance));
    py::Ref count(PyLong_FromLongLong(stats.count));
    if (!mean || !variance || !count) return nullptr;
    return PyTuple_Pack(4, standardized.get(), mean.get(), variance.get(), count.get());
}

PyObject* clip_rewards_py(PyObject* args, PyObject* kwargs) {
    static ParameterList parameters{"clip_rewards_py", {"rewards", "min_val", "max_val"}, 3, 3};
    Slots slot;
    double min_value = 0.0, max_value = 0.0;
    if (!match_arguments(parameters, args, kwargs, slot) ||
        !check_array(slot[0].get(), 1, Element::Float64, "rewards") ||
        !to_double(slot[1].get(), "min_val", &min_value) || !to_double(slot[2].get(), "max_val", &max_value))
        return nullptr;
    VectorView rewards;
    if (!view_vector(slot[0].get(), Element::Float64, "rewards", &rewards) || !require_contiguous(rewards))
        return nullptr;

    double* out = nullptr;
    py::Ref result = new_float64_vector(rewards.size, &out);
    if (!result) return nullptr;
    kernels::clip_rewards(rewards.doubles(), min_value, max_value, out);
    return result.release();
}

PyObject* compute_reward_statistics(PyObject* args, PyObject* kwargs) {
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

}  // namespace qrl::binding
