// normalize_rewards: standardisation against running statistics kept by the caller.
// Parameter list, defaults, docstring and body of the Python function.
#include <limits>

#include "binding/arguments.h"
#include "binding/conversions.h"
#include "binding/function_definition.h"
#include "binding/results.h"
#include "failure/messages.h"
#include "kernels/reward_kernels.h"

namespace qrl::binding::functions {
namespace {

constexpr const char* kDoc =
    "normalize_rewards(rewards, running_mean=0.0, running_var=1.0, count=0, epsilon=1e-8)\n--\n\n"
    "Normalize rewards using running statistics\n"
    "\n"
    "Efficient online normalization with Welford's algorithm.\n"
    "\n"
    "Args:\n"
    "    rewards: Array of rewards to normalize\n"
    "    running_mean: Current running mean (will be updated)\n"
    "    running_var: Current running variance (will be updated)\n"
    "    count: Current count (will be updated)\n"
    "    epsilon: Small value for numerical stability\n"
    "\n"
    "Returns:\n"
    "    Tuple of (normalized_rewards, new_mean, new_var, new_count)";

PyObject* body(PyObject* args, PyObject* kwargs) {
    static ParameterList parameters{
        "normalize_rewards", {"rewards", "running_mean", "running_var", "count", "epsilon"}, 5, 1};
    Slots slot;
    kernels::RunningStatistics in{0.0, 1.0, 0};
    double epsilon = 1e-8;
    if (!match_arguments(parameters, args, kwargs, slot) ||
        !check_array(slot[0].get(), 1, Element::Float64, "rewards") ||
        !convert_if_given(slot[1], to_double, "running_mean", &in.mean) ||
        !convert_if_given(slot[2], to_double, "running_var", &in.variance) ||
        !convert_if_given(slot[3], to_int64, "count", &in.count) ||
        !convert_if_given(slot[4], to_double, "epsilon", &epsilon))
        return nullptr;
    VectorView rewards;
    if (!view_vector(slot[0].get(), Element::Float64, "rewards", &rewards) || !require_contiguous(rewards))
        return nullptr;
    // The new count must stay a signed 64-bit integer; never wrap around.
    if (rewards.size > 0 && in.count > std::numeric_limits<std::int64_t>::max() - rewards.size) {
        PyErr_SetString(PyExc_OverflowError, messages::kCountOverflow);
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

}  // namespace

PyMethodDef normalize_rewards = define_function<body>("normalize_rewards", kDoc);

}  // namespace qrl::binding::functions
