// compute_group_advantages, compute_gae, batch_compute_gae.
#include <algorithm>
#include <vector>

#include "binding/arguments.h"
#include "binding/conversions.h"
#include "binding/entry_points.h"
#include "binding/results.h"
#include "kernels/gae.h"
#include "kernels/group_advantages.h"

namespace qrl::binding {

PyObject* compute_group_advantages(PyObject* args, PyObject* kwargs) {
    static ParameterList parameters{"compute_group_advantages", {"rewards", "baseline_type", "normalize"}, 3, 3};
    Slots slot;
    std::string_view baseline_name;
    bool normalize = false;
    if (!match_arguments(parameters, args, kwargs, slot) ||
        !check_array(slot[0].get(), 2, Element::Float64, "rewards") ||
        !to_utf8(slot[1].get(), "baseline_type", &baseline_name) || !to_bool(slot[2].get(), "normalize", &normalize))
        return nullptr;
    numeric::DoubleMatrix rewards;
    if (!view_matrix(slot[0].get(), "rewards", &rewards)) return nullptr;

    // Zero strides can describe more elements than memory holds.
    std::int64_t total;
    if (__builtin_mul_overflow(rewards.rows, rewards.columns, &total)) return PyErr_NoMemory();
    double* out = nullptr;
    py::Ref result = new_float64_vector(total, &out);
    if (!result) return nullptr;
    kernels::group_advantages(rewards, kernels::baseline_from_name(baseline_name), normalize, out);
    return result.release();
}

PyObject* compute_gae(PyObject* args, PyObject* kwargs) {
    static ParameterList parameters{"compute_gae", {"rewards", "values", "gamma", "gae_lambda"}, 4, 2};
    Slots slot;
    double gamma = 0.99, lambda = 0.95;
    if (!match_arguments(parameters, args, kwargs, slot) ||
        !check_array(slot[0].get(), 1, Element::Float64, "rewards") ||
        !check_array(slot[1].get(), 1, Element::Float64, "values") ||
        (slot[2] && !to_double(slot[2].get(), "gamma", &gamma)) ||
        (slot[3] && !to_double(slot[3].get(), "gae_lambda", &lambda)))
        return nullptr;
    VectorView rewards, values;
    if (!view_vector(slot[0].get(), Element::Float64, "rewards", &rewards) ||
        !view_vector(slot[1].get(), Element::Float64, "values", &values) || !require_contiguous(rewards) ||
        !require_contiguous(values))
        return nullptr;

    double* out = nullptr;
    py::Ref result = new_float64_vector(rewards.size, &out);
    if (!result) return nullptr;
    kernels::gae(rewards.doubles(), values.doubles(), gamma, lambda, out);
    return result.release();
}

PyObject* batch_compute_gae(PyObject* args, PyObject* kwargs) {
    static ParameterList parameters{"batch_compute_gae", {"all_rewards", "all_values", "gamma", "gae_lambda"}, 4, 2};
    Slots slot;
    std::vector<py::Ref> reward_items, value_items;
    double gamma = 0.99, lambda = 0.95;
    if (!match_arguments(parameters, args, kwargs, slot) ||
        !to_array_list(slot[0].get(), "all_rewards", &reward_items) ||
        !to_array_list(slot[1].get(), "all_values", &value_items) ||
        (slot[2] && !to_double(slot[2].get(), "gamma", &gamma)) ||
        (slot[3] && !to_double(slot[3].get(), "gae_lambda", &lambda)))
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

}  // namespace qrl::binding
