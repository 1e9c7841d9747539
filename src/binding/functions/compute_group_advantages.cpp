// compute_group_advantages: group-relative advantages (GRPO), one parallel item per group.
// Parameter list, defaults, docstring and body of the Python function.
#include "binding/arguments.h"
#include "binding/conversions.h"
#include "binding/function_definition.h"
#include "binding/results.h"
#include "kernels/group_advantages.h"

namespace qrl::binding::functions {
namespace {

constexpr const char* kDoc =
    "compute_group_advantages(rewards, baseline_type, normalize)\n--\n\n"
    "Compute group-relative advantages for GRPO training\n"
    "\n"
    "This is a high-performance implementation that uses SIMD where available\n"
    "and parallelizes across groups.\n"
    "\n"
    "Args:\n"
    "    rewards: 2D array of shape (num_groups, group_size) containing rewards\n"
    "    baseline_type: \"mean\", \"median\", or \"min\"\n"
    "    normalize: Whether to normalize advantages\n"
    "\n"
    "Returns:\n"
    "    2D array of advantages with same shape as input";

PyObject* body(PyObject* args, PyObject* kwargs) {
    static ParameterList parameters{"compute_group_advantages", {"rewards", "baseline_type", "normalize"}, 3, 3};
    Slots slot;
    std::string_view baseline_name;
    bool normalize = false;
    if (!match_arguments(parameters, args, kwargs, slot) ||
        !check_array(slot[0].get(), 2, Element::Float64, "rewards") ||
        !to_utf8(slot[1].get(), "baseline_type", &baseline_name) || !to_bool(slot[2].get(), "normalize", &normalize))
        return nullptr;
    numeric::DoubleMatrix rewards;
    if (!view_matrix(slot[0].get(), "rewards", &rewards)) return nullptr;
    // Rows of no columns hold no work: zero strides can make 2^59 of them.
    if (rewards.columns == 0) rewards.rows = 0;
    const numeric::ValueMatrix values{rewards.data,       rewards.rows,          rewards.columns,
                                      rewards.row_stride, rewards.column_stride, numeric::Precision::Float64};

    // Zero strides can describe more elements than memory holds.
    std::int64_t total;
    if (__builtin_mul_overflow(rewards.rows, rewards.columns, &total)) return PyErr_NoMemory();
    double* out = nullptr;
    py::Ref result = new_float64_vector(total, &out);
    if (!result) return nullptr;
    // The one group engine, with its lenient names and its flat result: the
    // rows' advantages one after another.
    kernels::matrix_group_advantages(values, kernels::lenient_baseline(baseline_name),
                                     normalize ? kernels::GroupScale::Group : kernels::GroupScale::None,
                                     kernels::Standardisation{}, out);
    return result.release();
}

}  // namespace

PyMethodDef compute_group_advantages = define_function<body>("compute_group_advantages", kDoc);

}  // namespace qrl::binding::functions
