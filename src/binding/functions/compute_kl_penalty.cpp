// compute_kl_penalty: per-token KL estimates from log-probabilities, and
// the token-level reward penalty.  Parameter list, defaults, docstring and
// body of the Python function.
#include <string>
#include <vector>

#include "binding/arguments.h"
#include "binding/array_record.h"
#include "binding/conversions.h"
#include "binding/function_definition.h"
#include "binding/functions/group_choice.h"
#include "binding/functions/matrix_result.h"
#include "failure/messages.h"
#include "kernels/masked_kernels.h"

namespace qrl::binding::functions {
namespace {

constexpr const char* kFunction = "compute_kl_penalty";

constexpr const char* kDoc =
    "compute_kl_penalty(logprob, ref_logprob, estimator=\"k1\", mask=None, *, rewards=None, beta=1.0, "
    "out=None)\n--\n\n"
    "Compute per-token KL estimates, or rewards minus beta times them\n"
    "\n"
    "With d = logprob - ref_logprob: \"k1\" (or \"kl\") d; \"abs\" |d|; \"k2\" (or\n"
    "\"mse\") 0.5 * d * d; \"k3\" (or \"low_var_kl\") (exp(x) - x) - 1 with\n"
    "x = -d clamped to [-20, 20], the result clamped to [-10, 10].  Times 0.0\n"
    "where the mask is unset; with rewards, rewards - beta * that (verl's\n"
    "token-level KL penalty).  Computed in float64, rounded once.\n"
    "\n"
    "Args:\n"
    "    logprob: float32 or float64 array (batch, tokens), the policy's\n"
    "    ref_logprob: array (batch, tokens), the reference policy's\n"
    "    estimator: \"k1\", \"abs\", \"k2\" or \"k3\" (verl's names also)\n"
    "    mask: flags (batch, tokens) of any bool, integer or floating dtype, set\n"
    "        where nonzero; None: every token\n"
    "    rewards: array (batch, tokens), the token-level scores to penalise\n"
    "    beta: the penalty's coefficient (default 1.0)\n"
    "    out: array (batch, tokens) to write, float32 or float64\n"
    "\n"
    "Returns:\n"
    "    array (batch, tokens), float32 when every value array is float32, else\n"
    "    float64 (out when given)";

bool same_shape(const ArrayRecord& a, const ArrayRecord& b) {
    if (!a.present() || (a.shape[0] == b.shape[0] && a.shape[1] == b.shape[1])) return true;
    py::Ref got = shape_tuple(a), want = shape_tuple(b);
    if (got && want) PyErr_Format(PyExc_ValueError, messages::kArrayShape, kFunction, a.name, got.get(), want.get());
    return false;
}

PyObject* body(PyObject* args, PyObject* kwargs) {
    static ParameterList parameters{
        kFunction, {"logprob", "ref_logprob", "estimator", "mask", "rewards", "beta", "out"}, 7, 2, 4};
    Slots slot;
    ArrayRecord logprob, ref, mask, rewards, out;
    std::string_view estimator_name = "k1";
    double beta = 1.0;
    if (!match_arguments(parameters, args, kwargs, slot) ||
        !record_array(slot[0].get(), 2, Element::Real, "logprob", &logprob) ||
        !record_array(slot[1].get(), 2, Element::Real, "ref_logprob", &ref) ||
        !convert_if_given(slot[2], to_utf8, "estimator", &estimator_name) ||
        (given(slot[3]) && !record_array(slot[3].get(), 2, Element::Flag, "mask", &mask)) ||
        (given(slot[4]) && !record_array(slot[4].get(), 2, Element::Real, "rewards", &rewards)) ||
        !convert_if_given(slot[5], to_double, "beta", &beta) || !record_group_out(slot[6], logprob, kFunction, &out) ||
        !unchanged({&logprob, &ref, &mask, &rewards, &out}, kFunction))
        return nullptr;
    kernels::KlEstimator estimator;
    if (!kernels::kl_estimator_from_name(estimator_name, &estimator)) {
        PyErr_Format(PyExc_ValueError, messages::kUnknownKlEstimator, std::string(estimator_name).c_str());
        return nullptr;
    }
    if (!same_shape(ref, logprob) || !same_shape(mask, logprob) || !same_shape(rewards, logprob)) return nullptr;
    std::int64_t total;
    if (__builtin_mul_overflow(logprob.rows(), logprob.columns(), &total)) return PyErr_NoMemory();

    // float32 when every value array is float32; otherwise the float32 ones
    // are read through float64 copies, so all share one precision.
    const bool single = logprob.precision == numeric::Precision::Float32 &&
                        ref.precision == numeric::Precision::Float32 &&
                        (!rewards.present() || rewards.precision == numeric::Precision::Float32);
    std::vector<double> storage[3];
    const auto read = [&](const ArrayRecord& r, std::vector<double>* s) {
        return !r.present() ? numeric::ValueMatrix{} : single ? r.values() : widened(r.values(), s);
    };
    const numeric::ValueMatrix lp = read(logprob, &storage[0]), rp = read(ref, &storage[1]),
                               rw = read(rewards, &storage[2]);
    const numeric::Precision precision = single ? numeric::Precision::Float32 : numeric::Precision::Float64;
    MatrixResult result;
    if (!matrix_result(out, precision, logprob.shape, {&logprob, &ref, &mask, &rewards}, nullptr, &result))
        return nullptr;
    kernels::kl_penalty(lp, rp, estimator, mask.present() ? mask.flags() : numeric::FlagMatrix{}, rw, beta,
                        result.target);
    return result.finish();
}

}  // namespace

PyMethodDef compute_kl_penalty = define_function<body>(kFunction, kDoc);

}  // namespace qrl::binding::functions
