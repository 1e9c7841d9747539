// batch_compute_gae: GAE over many trajectories, one parallel item per trajectory.
// Parameter list, defaults, docstring and body of the Python function.
#include <algorithm>
#include <vector>

#include "binding/arguments.h"
#include "binding/conversions.h"
#include "binding/function_definition.h"
#include "binding/results.h"
#include "kernels/gae.h"

namespace qrl::binding::functions {
namespace {

constexpr const char* kDoc =
    "batch_compute_gae(all_rewards, all_values, gamma=0.99, gae_lambda=0.95)\n--\n\n"
    "Batch compute GAE for multiple trajectories in parallel\n"
    "\n"
    "Args:\n"
    "    all_rewards: List of reward arrays\n"
    "    all_values: List of value arrays\n"
    "    gamma: Discount factor\n"
    "    gae_lambda: GAE lambda parameter\n"
    "\n"
    "Returns:\n"
    "    List of advantage arrays";

PyObject* body(PyObject* args, PyObject* kwargs) {
    static ParameterList parameters{"batch_compute_gae", {"all_rewards", "all_values", "gamma", "gae_lambda"}, 4, 2};
    Slots slot;
    std::vector<py::Ref> reward_items, value_items;
    double gamma = 0.99, lambda = 0.95;
    if (!match_arguments(parameters, args, kwargs, slot) ||
        !to_array_list(slot[0].get(), "all_rewards", &reward_items) ||
        !to_array_list(slot[1].get(), "all_values", &value_items) ||
        !convert_if_given(slot[2], to_double, "gamma", &gamma) ||
        !convert_if_given(slot[3], to_double, "gae_lambda", &lambda))
        return nullptr;

    // Items are read in place honouring their strides: a strided item gives
    // exactly the result of its contiguous copy.
    const std::size_t count = std::min(reward_items.size(), value_items.size());
    std::vector<kernels::Trajectory> trajectories(count);
    py::Ref list(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < count; ++i) {
        VectorView rewards, values;
        if (!view_vector(reward_items[i].get(), Element::Float64, "all_rewards", &rewards) ||
            !view_vector(value_items[i].get(), Element::Float64, "all_values", &values))
            return nullptr;
        double* out = nullptr;
        py::Ref advantages = new_float64_vector(rewards.size, &out);
        if (!advantages) return nullptr;
        trajectories[i] = {rewards.doubles(), values.doubles(), out};
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), advantages.release());
    }
    kernels::batch_gae(trajectories, gamma, lambda);
    return list.release();
}

}  // namespace

PyMethodDef batch_compute_gae = define_function<body>("batch_compute_gae", kDoc);

}  // namespace qrl::binding::functions
