// apply_gspo_clipping: the GSPO clipped objective.
// Parameter list, defaults, docstring and body of the Python function.
#include "binding/function_definition.h"
#include "binding/functions/array_pairs.h"
#include "kernels/policy_kernels.h"

namespace qrl::binding::functions {
namespace {

constexpr const char* kDoc =
    "apply_gspo_clipping(ratios, advantages, clip_left=0.0003, clip_right=0.0004)\n--\n\n"
    "Apply GSPO clipping to importance ratios\n"
    "\n"
    "Args:\n"
    "    ratios: Importance ratios\n"
    "    advantages: Advantage values\n"
    "    clip_left: Left clipping bound (default 3e-4)\n"
    "    clip_right: Right clipping bound (default 4e-4)\n"
    "\n"
    "Returns:\n"
    "    Clipped surrogate objectives";

PyObject* body(PyObject* args, PyObject* kwargs) {
    static ParameterList parameters{"apply_gspo_clipping", {"ratios", "advantages", "clip_left", "clip_right"}, 4, 2};
    Slots slot;
    double clip_left = 0.0003, clip_right = 0.0004;
    if (!match_arguments(parameters, args, kwargs, slot) || !check_pair(slot, "ratios", "advantages") ||
        !convert_if_given(slot[2], to_double, "clip_left", &clip_left) ||
        !convert_if_given(slot[3], to_double, "clip_right", &clip_right))
        return nullptr;
    return ratio_advantage_result(slot, [&](numeric::DoubleRun r, numeric::DoubleRun a, std::int64_t n, double* out) {
        kernels::gspo_clipping(r, a, n, clip_left, clip_right, out);
    });
}

}  // namespace

PyMethodDef apply_gspo_clipping = define_function<body>("apply_gspo_clipping", kDoc);

}  // namespace qrl::binding::functions
