// broadcast_row_values: one value per row spread along a mask (the outcome
// estimators' per-sample advantage on every response token).  Parameter
// list, defaults, docstring and body of the Python function.
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

constexpr const char* kFunction = "broadcast_row_values";

constexpr const char* kDoc =
    "broadcast_row_values(values, mask, *, out=None)\n--\n\n"
    "Spread one value per row along a mask: values[i] * mask[i, j]\n"
    "\n"
    "Where the flag is set the element is values[i], elsewhere values[i] * 0.0\n"
    "(a signed zero; NaN and infinities give NaN), the bits of a product with a\n"
    "0/1 mask.\n"
    "\n"
    "Args:\n"
    "    values: float32 or float64 array (batch,)\n"
    "    mask: flags (batch, tokens) of any bool, integer or floating dtype, set\n"
    "        where nonzero\n"
    "    out: array (batch, tokens) to write, float32 or float64\n"
    "\n"
    "Returns:\n"
    "    array (batch, tokens) of the values' precision (out when given)";

PyObject* body(PyObject* args, PyObject* kwargs) {
    static ParameterList parameters{kFunction, {"values", "mask", "out"}, 3, 2, 2};
    Slots slot;
    ArrayRecord values, mask, out;
    if (!match_arguments(parameters, args, kwargs, slot) ||
        !record_array(slot[0].get(), 1, Element::Real, "values", &values) ||
        !record_array(slot[1].get(), 2, Element::Flag, "mask", &mask) ||
        !record_group_out(slot[2], mask, kFunction, &out) || !unchanged({&values, &mask, &out}, kFunction))
        return nullptr;
    if (values.shape[0] != mask.shape[0]) {
        PyErr_Format(PyExc_ValueError, messages::kRowValuesMismatch, static_cast<long long>(values.shape[0]),
                     static_cast<long long>(mask.shape[0]));
        return nullptr;
    }
    std::int64_t total;
    if (__builtin_mul_overflow(mask.rows(), mask.columns(), &total)) return PyErr_NoMemory();
    MatrixResult result;
    if (!matrix_result(out, values.precision, mask.shape, {&values, &mask}, nullptr, &result)) return nullptr;
    kernels::broadcast_row_values(values.value_run(), mask.flags(), result.target);
    return result.finish();
}

}  // namespace

PyMethodDef broadcast_row_values = define_function<body>(kFunction, kDoc);

}  // namespace qrl::binding::functions
