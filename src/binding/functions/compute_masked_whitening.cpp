// compute_masked_whitening: values whitened with the mean and variance of
// their masked elements (three passes: sum, squared differences, result).
// Parameter list, defaults, docstring and body of the Python function.
#include <string>

#include "binding/arguments.h"
#include "binding/array_record.h"
#include "binding/conversions.h"
#include "binding/function_definition.h"
#include "binding/functions/group_choice.h"
#include "binding/functions/matrix_result.h"
#include "binding/functions/whitening_options.h"
#include "failure/messages.h"
#include "kernels/masked_kernels.h"

namespace qrl::binding::functions {
namespace {

constexpr const char* kFunction = "compute_masked_whitening";

constexpr const char* kDoc =
    "compute_masked_whitening(values, mask=None, *, std_ddof=1, count_epsilon=1e-08, epsilon=1e-08, "
    "shift_mean=True, unmasked=\"whitened\", float32_counts=False, out=None)\n--\n\n"
    "Whiten values with the mean and variance of their masked elements\n"
    "\n"
    "With n the number of set flags (every element without a mask), S and Q the\n"
    "sums of the kept values and of their squared differences from the mean:\n"
    "mean = S / (n + count_epsilon), variance = Q / (n + count_epsilon) *\n"
    "n / (n - std_ddof) (no factor when std_ddof is 0), and each element becomes\n"
    "(x - mean) * (1 / sqrt(variance + epsilon)), plus the mean again unless\n"
    "shift_mean.  The defaults are verl's masked_whiten.  Sums run in a fixed\n"
    "blocked order (docs/trainer_kernels.md), so the bits do not depend on the\n"
    "thread count; elements outside the mask are never summed (NaN there is\n"
    "ignored).\n"
    "\n"
    "Args:\n"
    "    values: float32 or float64 array (batch, tokens), read in place\n"
    "    mask: flags (batch, tokens) of any bool, integer or floating dtype, set\n"
    "        where nonzero; None: every element\n"
    "    std_ddof: 0 (population variance) or 1 (default, unbiased)\n"
    "    count_epsilon: added to n in both divisions (default 1e-8)\n"
    "    epsilon: added to the variance under the square root (default 1e-8)\n"
    "    shift_mean: False adds the mean back to the whitened values\n"
    "    unmasked: what unmasked elements get: \"whitened\" (default, as the rest),\n"
    "        \"zero\" (0.0) or \"times_mask\" (the whitened value times 0.0)\n"
    "    float32_counts: form n + count_epsilon and n / (n - std_ddof) in float32,\n"
    "        as torch does from an integer mask's sum\n"
    "    out: array (batch, tokens) to write, float32 or float64; may be values\n"
    "\n"
    "Returns:\n"
    "    array of the values' shape and precision (out when given); ValueError\n"
    "    when the mask keeps std_ddof elements or fewer and std_ddof is 1";

PyObject* body(PyObject* args, PyObject* kwargs) {
    static ParameterList parameters{kFunction, {"values", "mask", QRL_WHITENING_KEYWORDS, "out"}, 9, 1, 2};
    Slots slot;
    ArrayRecord values, mask, out;
    WhiteningOptions options;
    if (!match_arguments(parameters, args, kwargs, slot) ||
        !record_array(slot[0].get(), 2, Element::Real, "values", &values) ||
        (given(slot[1]) && !record_array(slot[1].get(), 2, Element::Flag, "mask", &mask)) ||
        !convert_whitening(&slot[2], kFunction, &options) || !record_group_out(slot[8], values, kFunction, &out) ||
        !unchanged({&values, &mask, &out}, kFunction))
        return nullptr;
    if (mask.present() && (mask.shape[0] != values.shape[0] || mask.shape[1] != values.shape[1])) {
        py::Ref got = shape_tuple(mask), want = shape_tuple(values);
        if (got && want) PyErr_Format(PyExc_ValueError, messages::kMaskShape, kFunction, got.get(), want.get());
        return nullptr;
    }
    std::int64_t total;
    if (__builtin_mul_overflow(values.rows(), values.columns(), &total)) return PyErr_NoMemory();

    const numeric::ValueMatrix matrix = values.values();
    const numeric::FlagMatrix flags = mask.present() ? mask.flags() : numeric::FlagMatrix{};
    MatrixResult result;
    kernels::Moments moments;  // before the result is allocated: a refusal allocates nothing
    if (!whitening_moments(matrix, flags, options, kFunction, &moments) ||
        !matrix_result(out, values.precision, values.shape, {&values, &mask}, &values, &result))
        return nullptr;
    whiten(matrix, flags, moments, options, result.target);
    return result.finish();
}

}  // namespace

PyMethodDef compute_masked_whitening = define_function<body>(kFunction, kDoc);

}  // namespace qrl::binding::functions
