// compute_ppo_surrogate: the PPO clipped surrogate.
// Parameter list, defaults, docstring and body of the Python function.
#include "binding/function_definition.h"
#include "binding/functions/array_pairs.h"
#include "kernels/policy_kernels.h"

namespace qrl::binding::functions {
namespace {

constexpr const char* kDoc =
    "compute_ppo_surrogate(ratios, advantages, clip_epsilon=0.2)\n--\n\n"
    "Compute PPO clipped surrogate objective";

PyObject* body(PyObject* args, PyObject* kwargs) {
    static ParameterList parameters{"compute_ppo_surrogate", {"ratios", "advantages", "clip_epsilon"}, 3, 2};
    Slots slot;
    double clip_epsilon = 0.2;
    if (!match_arguments(parameters, args, kwargs, slot) || !check_pair(slot, "ratios", "advantages") ||
        !convert_if_given(slot[2], to_double, "clip_epsilon", &clip_epsilon))
        return nullptr;
    return ratio_advantage_result(slot, [&](numeric::DoubleRun r, numeric::DoubleRun a, std::int64_t n, double* out) {
        kernels::ppo_surrogate(r, a, n, clip_epsilon, out);
    });
}

}  // namespace

PyMethodDef compute_ppo_surrogate = define_function<body>("compute_ppo_surrogate", kDoc);

}  // namespace qrl::binding::functions
