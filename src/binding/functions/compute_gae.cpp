// compute_gae: GAE over one trajectory, on the calling thread.
// Parameter list, defaults, docstring and body of the Python function.
#include "binding/arguments.h"
#include "binding/conversions.h"
#include "binding/function_definition.h"
#include "binding/results.h"
#include "kernels/gae.h"

namespace qrl::binding::functions {
namespace {

constexpr const char* kDoc =
    "compute_gae(rewards, values, gamma=0.99, gae_lambda=0.95)\n--\n\n"
    "Compute Generalized Advantage Estimation (GAE) for a trajectory\n"
    "\n"
    "High-performance GAE computation with configurable gamma and lambda.\n"
    "\n"
    "Args:\n"
    "    rewards: Array of per-step rewards\n"
    "    values: Array of value estimates (one more than rewards for bootstrap)\n"
    "    gamma: Discount factor (default 0.99)\n"
    "    gae_lambda: GAE lambda parameter (default 0.95)\n"
    "\n"
    "Returns:\n"
    "    Array of advantage estimates";

PyObject* body(PyObject* args, PyObject* kwargs) {
    static ParameterList parameters{"compute_gae", {"rewards", "values", "gamma", "gae_lambda"}, 4, 2};
    Slots slot;
    double gamma = 0.99, lambda = 0.95;
    if (!match_arguments(parameters, args, kwargs, slot) ||
        !check_array(slot[0].get(), 1, Element::Float64, "rewards") ||
        !check_array(slot[1].get(), 1, Element::Float64, "values") ||
        !convert_if_given(slot[2], to_double, "gamma", &gamma) ||
        !convert_if_given(slot[3], to_double, "gae_lambda", &lambda))
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

}  // namespace

PyMethodDef compute_gae = define_function<body>("compute_gae", kDoc);

}  // namespace qrl::binding::functions
