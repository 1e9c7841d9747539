// compute_masked_returns: discounted returns over a padded batch with a
// mask, on the padded GAE engine (zero values, lambda 1).  Parameter list,
// defaults, docstring and body of the Python function.
#include <string>

#include "binding/arguments.h"
#include "binding/array_record.h"
#include "binding/conversions.h"
#include "binding/function_definition.h"
#include "binding/functions/group_choice.h"
#include "binding/functions/matrix_result.h"
#include "failure/messages.h"
#include "kernels/padded_gae.h"

namespace qrl::binding::functions {
namespace {

constexpr const char* kFunction = "compute_masked_returns";

constexpr const char* kDoc =
    "compute_masked_returns(rewards, mask=None, gamma=0.99, *, mask_mode=\"cut\", out=None)\n--\n\n"
    "Compute discounted returns over a padded batch with a mask\n"
    "\n"
    "Each row runs backward on its own, G[t] = r[t] + gamma * G[t + 1] from 0.0\n"
    "after the last step, rows in parallel (the same bits whatever the thread\n"
    "count).  A masked step (flag unset) is, by mask_mode: \"cut\" (default)\n"
    "padding: return 0.0, the sum restarts before it; \"skip\": return 0.0, the\n"
    "running return passes through it unchanged (verl's REINFORCE++); \"carry\":\n"
    "as \"skip\", and the step holds the running return; \"zero\": its reward\n"
    "reads as 0.0 and the sum runs on through it (OpenRLHF's returns).\n"
    "\n"
    "Args:\n"
    "    rewards: float32 or float64 array (batch, tokens), read in place\n"
    "    mask: flags (batch, tokens) of any bool, integer or floating dtype, set\n"
    "        where nonzero; None: no masked step\n"
    "    gamma: Discount factor (default 0.99)\n"
    "    mask_mode: \"cut\", \"skip\", \"carry\" or \"zero\"\n"
    "    out: array (batch, tokens) to write, float32 or float64\n"
    "\n"
    "Returns:\n"
    "    array of the rewards' shape and precision (out when given)";

PyObject* body(PyObject* args, PyObject* kwargs) {
    static ParameterList parameters{kFunction, {"rewards", "mask", "gamma", "mask_mode", "out"}, 5, 1, 3};
    Slots slot;
    ArrayRecord rewards, mask, out;
    double gamma = 0.99;
    std::string_view mode_name = "cut";
    if (!match_arguments(parameters, args, kwargs, slot) ||
        !record_array(slot[0].get(), 2, Element::Real, "rewards", &rewards) ||
        (given(slot[1]) && !record_array(slot[1].get(), 2, Element::Flag, "mask", &mask)) ||
        !convert_if_given(slot[2], to_double, "gamma", &gamma) ||
        !convert_if_given(slot[3], to_utf8, "mask_mode", &mode_name) ||
        !record_group_out(slot[4], rewards, kFunction, &out) || !unchanged({&rewards, &mask, &out}, kFunction))
        return nullptr;
    kernels::MaskMode mode;
    if (!kernels::mask_mode_from_name(mode_name, &mode)) {
        PyErr_Format(PyExc_ValueError, messages::kUnknownMaskMode, std::string(mode_name).c_str());
        return nullptr;
    }
    if (mask.present() && (mask.shape[0] != rewards.shape[0] || mask.shape[1] != rewards.shape[1])) {
        py::Ref got = shape_tuple(mask), want = shape_tuple(rewards);
        if (got && want) PyErr_Format(PyExc_ValueError, messages::kMaskShape, kFunction, got.get(), want.get());
        return nullptr;
    }
    std::int64_t total;
    if (__builtin_mul_overflow(rewards.rows(), rewards.columns(), &total)) return PyErr_NoMemory();
    MatrixResult result;
    if (!matrix_result(out, rewards.precision, rewards.shape, {&rewards, &mask}, nullptr, &result)) return nullptr;

    // Zero values: one zero of the rewards' precision, read with zero strides.
    static const double kZero64 = 0.0;
    static const float kZero32 = 0.0f;
    kernels::PaddedBatch batch;
    batch.rewards = rewards.values();
    batch.values = batch.rewards;
    batch.values.data = rewards.precision == numeric::Precision::Float32 ? reinterpret_cast<const char*>(&kZero32)
                                                                         : reinterpret_cast<const char*>(&kZero64);
    batch.values.row_stride = batch.values.column_stride = 0;
    if (mask.present()) batch.mask = mask.flags();
    batch.mask_mode = mode;
    kernels::padded_gae(batch, gamma, 1.0, result.target, numeric::OutputMatrix{});
    return result.finish();
}

}  // namespace

PyMethodDef compute_masked_returns = define_function<body>(kFunction, kDoc);

}  // namespace qrl::binding::functions
