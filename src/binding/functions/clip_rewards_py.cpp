// clip_rewards_py: clamping into [min_val, max_val].
// Parameter list, defaults, docstring and body of the Python function.
#include "binding/arguments.h"
#include "binding/conversions.h"
#include "binding/function_definition.h"
#include "binding/results.h"
#include "kernels/reward_kernels.h"

namespace qrl::binding::functions {
namespace {

constexpr const char* kDoc =
    "clip_rewards_py(rewards, min_val, max_val)\n--\n\n"
    "Clip rewards to a specified range";

PyObject* body(PyObject* args, PyObject* kwargs) {
    static ParameterList parameters{"clip_rewards_py", {"rewards", "min_val", "max_val"}, 3, 3};
    Slots slot;
    double lower = 0.0, upper = 0.0;
    if (!match_arguments(parameters, args, kwargs, slot) ||
        !check_array(slot[0].get(), 1, Element::Float64, "rewards") || !to_double(slot[1].get(), "min_val", &lower) ||
        !to_double(slot[2].get(), "max_val", &upper))
        return nullptr;
    VectorView rewards;
    if (!view_vector(slot[0].get(), Element::Float64, "rewards", &rewards) || !require_contiguous(rewards))
        return nullptr;

    double* out = nullptr;
    py::Ref result = new_float64_vector(rewards.size, &out);
    if (!result) return nullptr;
    kernels::clip_rewards(rewards.doubles(), lower, upper, out);
    return result.release();
}

}  // namespace

PyMethodDef clip_rewards_py = define_function<body>("clip_rewards_py", kDoc);

}  // namespace qrl::binding::functions
