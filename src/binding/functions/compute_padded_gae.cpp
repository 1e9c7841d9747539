// compute_padded_gae: GAE over a padded (batch, time) batch with episode
// ends, truncations and padding; one parallel item per row.
// Parameter list, defaults, docstring and body of the Python function.
#include "binding/arguments.h"
#include "binding/conversions.h"
#include "binding/function_definition.h"
#include "binding/results.h"
#include "failure/messages.h"
#include "kernels/padded_gae.h"

namespace qrl::binding::functions {
namespace {

constexpr const char* kDoc =
    "compute_padded_gae(rewards, values, next_values, dones=None, truncated=None, mask=None, gamma=0.99, "
    "gae_lambda=0.95)\n--\n\n"
    "Compute GAE over a padded (batch, time) batch of episodes\n"
    "\n"
    "Each row runs backward on its own; rows run in parallel and give the same\n"
    "bits whatever the thread count.\n"
    "\n"
    "Args:\n"
    "    rewards: float64 array (batch, time), reward of each step\n"
    "    values: float64 array (batch, time), value of the state each step starts from\n"
    "    next_values: float64 array (batch, time), value of the state each step leads to\n"
    "        (the bootstrap; at a truncated step, the value of the final observation)\n"
    "    dones: bool array (batch, time) or None, episode terminated at this step:\n"
    "        no bootstrap, the recursion restarts\n"
    "    truncated: bool array (batch, time) or None, episode cut at this step:\n"
    "        bootstrap from next_values, the recursion restarts\n"
    "    mask: bool array (batch, time) or None, False on padding: advantage and\n"
    "        return 0.0, nothing read, nothing carried to the step before\n"
    "    gamma: Discount factor (default 0.99)\n"
    "    gae_lambda: GAE lambda parameter (default 0.95)\n"
    "\n"
    "Returns:\n"
    "    Tuple (advantages, returns) of float64 arrays (batch, time),\n"
    "    returns = advantages + values on unmasked steps";

constexpr const char* kNames[] = {"rewards", "values", "next_values", "dones", "truncated", "mask"};

bool same_shape(std::int64_t rows, std::int64_t columns, std::int64_t expected_rows, std::int64_t expected_columns,
                const char* name) {
    if (rows == expected_rows && columns == expected_columns) return true;
    PyErr_Format(PyExc_ValueError, messages::kShapeMismatch, name, static_cast<long long>(rows),
                 static_cast<long long>(columns), static_cast<long long>(expected_rows),
                 static_cast<long long>(expected_columns));
    return false;
}

// An absent flag parameter, or None, means no flags.
bool given(const py::Ref& slot) { return slot && slot.get() != Py_None; }

PyObject* body(PyObject* args, PyObject* kwargs) {
    static ParameterList parameters{
        "compute_padded_gae",
        {kNames[0], kNames[1], kNames[2], kNames[3], kNames[4], kNames[5], "gamma", "gae_lambda"},
        8,
        3};
    Slots slot;
    double gamma = 0.99, lambda = 0.95;
    if (!match_arguments(parameters, args, kwargs, slot)) return nullptr;
    for (int i = 0; i < 3; ++i)
        if (!check_array(slot[i].get(), 2, Element::Float64, kNames[i])) return nullptr;
    for (int i = 3; i < 6; ++i)
        if (given(slot[i]) && !check_array(slot[i].get(), 2, Element::Bool, kNames[i])) return nullptr;
    if (!convert_if_given(slot[6], to_double, "gamma", &gamma) ||
        !convert_if_given(slot[7], to_double, "gae_lambda", &lambda))
        return nullptr;

    numeric::DoubleMatrix matrices[3];
    for (int i = 0; i < 3; ++i) {
        if (!view_matrix(slot[i].get(), kNames[i], &matrices[i])) return nullptr;
        if (!same_shape(matrices[i].rows, matrices[i].columns, matrices[0].rows, matrices[0].columns, kNames[i]))
            return nullptr;
    }
    kernels::FlagMatrix flags[3];
    for (int i = 3; i < 6; ++i) {
        if (!given(slot[i])) continue;
        BoolMatrixView view;
        if (!view_bool_matrix(slot[i].get(), kNames[i], &view) ||
            !same_shape(view.rows, view.columns, matrices[0].rows, matrices[0].columns, kNames[i]))
            return nullptr;
        flags[i - 3] = {view.data, view.row_stride, view.column_stride};
    }

    // Zero strides can describe more elements than memory holds.
    std::int64_t total;
    if (__builtin_mul_overflow(matrices[0].rows, matrices[0].columns, &total)) return PyErr_NoMemory();
    double *advantages = nullptr, *returns = nullptr;
    py::Ref advantage_array = new_float64_matrix(matrices[0].rows, matrices[0].columns, &advantages);
    if (!advantage_array) return nullptr;
    py::Ref return_array = new_float64_matrix(matrices[0].rows, matrices[0].columns, &returns);
    if (!return_array) return nullptr;
    const kernels::PaddedBatch batch{matrices[0], matrices[1], matrices[2], flags[0], flags[1], flags[2]};
    kernels::padded_gae(batch, gamma, lambda, advantages, returns);

    py::Ref pair(PyTuple_New(2));
    if (!pair) return nullptr;
    PyTuple_SetItem(pair.get(), 0, advantage_array.release());
    PyTuple_SetItem(pair.get(), 1, return_array.release());
    return pair.release();
}

}  // namespace

PyMethodDef compute_padded_gae = define_function<body>("compute_padded_gae", kDoc);

}  // namespace qrl::binding::functions
