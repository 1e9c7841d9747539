// compute_gspo_importance_ratios: GSPO length-normalised sequence importance ratios.
// Parameter list, defaults, docstring and body of the Python function.
#include <algorithm>

#include "binding/function_definition.h"
#include "binding/functions/array_pairs.h"
#include "kernels/policy_kernels.h"

namespace qrl::binding::functions {
namespace {

constexpr const char* kDoc =
    "compute_gspo_importance_ratios(log_probs_new, log_probs_old, sequence_lengths)\n--\n\n"
    "Compute GSPO sequence-level importance ratios\n"
    "\n"
    "Implements the length-normalized sequence importance ratio from GSPO:\n"
    "s_i(\u03b8) = (\u03c0_\u03b8(y_i|x) / \u03c0_\u03b8_old(y_i|x))^(1/|y_i|)\n"
    "\n"
    "Args:\n"
    "    log_probs_new: Log probabilities under new policy (sum per sequence)\n"
    "    log_probs_old: Log probabilities under old policy (sum per sequence)\n"
    "    sequence_lengths: Length of each sequence\n"
    "\n"
    "Returns:\n"
    "    Array of sequence-level importance ratios";

PyObject* body(PyObject* args, PyObject* kwargs) {
    static ParameterList parameters{
        "compute_gspo_importance_ratios", {"log_probs_new", "log_probs_old", "sequence_lengths"}, 3, 3};
    Slots slot;
    if (!match_arguments(parameters, args, kwargs, slot) || !check_pair(slot, "log_probs_new", "log_probs_old") ||
        !check_array(slot[2].get(), 1, Element::Int64, "sequence_lengths"))
        return nullptr;
    VectorView log_new, log_old, lengths;
    if (!view_pair(slot, "log_probs_new", "log_probs_old", &log_new, &log_old) ||
        !view_vector(slot[2].get(), Element::Int64, "sequence_lengths", &lengths) || !require_contiguous(lengths))
        return nullptr;

    const std::int64_t n = std::min({log_new.size, log_old.size, lengths.size});
    double* out = nullptr;
    py::Ref result = new_float64_vector(n, &out);
    if (!result) return nullptr;
    kernels::gspo_importance_ratios(log_new.doubles(), log_old.doubles(), lengths.int64s(), n, out);
    return result.release();
}

}  // namespace

PyMethodDef compute_gspo_importance_ratios = define_function<body>("compute_gspo_importance_ratios", kDoc);

}  // namespace qrl::binding::functions
