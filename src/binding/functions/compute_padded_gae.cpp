// compute_padded_gae: GAE over a padded batch with episode ends,
// truncations, padding or skipped steps; one parallel item per row.
// Parameter list, defaults, docstring and body of the Python function.
#include <array>
#include <utility>

#include "binding/arguments.h"
#include "binding/conversions.h"
#include "binding/function_definition.h"
#include "binding/functions/group_choice.h"
#include "binding/results.h"
#include "failure/messages.h"
#include "kernels/padded_gae.h"

namespace qrl::binding::functions {
namespace {

constexpr const char* kFunction = "compute_padded_gae";

constexpr const char* kDoc =
    "compute_padded_gae(rewards, values, next_values=None, dones=None, truncated=None, mask=None, gamma=0.99, "
    "gae_lambda=0.95, *, time_axis=1, mask_mode=\"cut\", bootstrap=None, final_values=None, episode_starts=None, "
    "last_dones=None, out=None)\n--\n\n"
    "Compute GAE over a padded batch of episodes\n"
    "\n"
    "Each row runs backward on its own; rows run in parallel and give the same\n"
    "bits whatever the thread count.  Value arrays are float32 or float64 (read\n"
    "in place, computed in float64); flags are arrays of any bool, integer or\n"
    "floating dtype, set where nonzero.\n"
    "\n"
    "Args:\n"
    "    rewards: array (batch, time), reward of each step\n"
    "    values: array (batch, time), value of the state each step starts from\n"
    "    next_values: array (batch, time), value of the state each step leads to;\n"
    "        None: the next step's value in the row, and bootstrap after the last\n"
    "    dones: flags (batch, time) or None, episode terminated at this step:\n"
    "        no bootstrap, the recursion restarts\n"
    "    truncated: flags (batch, time) or None, episode cut at this step:\n"
    "        bootstrap (final_values when given), the recursion restarts\n"
    "    mask: flags (batch, time) or None, unset on padding or skipped steps:\n"
    "        advantage and return 0.0\n"
    "    gamma: Discount factor (default 0.99)\n"
    "    gae_lambda: GAE lambda parameter (default 0.95)\n"
    "    time_axis: 1 (default, arrays (batch, time)) or 0 (arrays (time, batch))\n"
    "    mask_mode: \"cut\" (default: a masked step cuts the recursion) or \"skip\"\n"
    "        (it passes the carried advantage and next value to the step before)\n"
    "    bootstrap: array (batch,), the value after each row's last step, when\n"
    "        next_values is None (default 0.0)\n"
    "    final_values: array (batch, time), the next value at truncated steps\n"
    "    episode_starts: flags (batch, time), a new episode starts at this step\n"
    "        (so the step before it is done)\n"
    "    last_dones: flags (batch,), the row's last step is done\n"
    "    out: tuple (advantages, returns) of arrays of the rewards' shape to write\n"
    "\n"
    "Returns:\n"
    "    Tuple (advantages, returns) of arrays of the rewards' shape, float32 when\n"
    "    every value array is float32, else float64; returns = advantages + values\n"
    "    on unmasked steps";

enum Slot {
    kRewards,
    kValues,
    kNextValues,
    kDones,
    kTruncated,
    kMask,
    kGamma,
    kLambda,
    kTimeAxis,
    kMaskMode,
    kBootstrap,
    kFinalValues,
    kEpisodeStarts,
    kLastDones,
    kOut,
    kSlotCount
};

constexpr std::array<const char*, kSlotCount> kNames = {
    "rewards",   "values",    "next_values", "dones",        "truncated",      "mask",       "gamma", "gae_lambda",
    "time_axis", "mask_mode", "bootstrap",   "final_values", "episode_starts", "last_dones", "out"};

constexpr Slot kValueSlots[] = {kRewards, kValues, kNextValues, kBootstrap, kFinalValues};
constexpr Slot kMatrixFlagSlots[] = {kDones, kTruncated, kMask, kEpisodeStarts};

// The kernel's view: one row per batch entry, `steps` along it.
struct Layout {
    int time_axis;
    std::int64_t rows, steps;  // of the kernel's view
};

bool same_shape(PyObject* array, PyObject* rewards, const char* name) {
    const std::vector<Py_ssize_t> shape = numpy_shape(array), expected = numpy_shape(rewards);
    if (shape == expected) return true;
    PyErr_Format(PyExc_ValueError, messages::kShapeMismatch, name, static_cast<long long>(shape[0]),
                 static_cast<long long>(shape[1]), static_cast<long long>(expected[0]),
                 static_cast<long long>(expected[1]));
    return false;
}

bool rows_match(std::int64_t entries, const Layout& layout, const char* name) {
    if (entries == layout.rows) return true;
    PyErr_Format(PyExc_ValueError, messages::kRowsMismatch, name, static_cast<long long>(entries),
                 static_cast<long long>(layout.rows));
    return false;
}

template <class Matrix>
void orient(Matrix* m, const Layout& layout) {
    if (layout.time_axis != 0) return;
    if constexpr (requires { m->rows; }) std::swap(m->rows, m->columns);
    std::swap(m->row_stride, m->column_stride);
}

kernels::FlagMatrix flag_matrix(const FlagView& view) {
    return {view.data, view.row_stride, view.column_stride, view.size, view.bits};
}

// Outputs: the arrays returned, and the views the kernel writes.  When an
// output shares memory with an input, the kernel writes new arrays that are
// copied into it at the end, so no input is overwritten before it is read.
struct Outputs {
    py::Ref returned[2];
    py::Ref written[2];
    numeric::OutputMatrix views[2];
};

bool make_outputs(const Slots& slot, PyObject* const* inputs, std::size_t input_count, numeric::Precision precision,
                  Outputs* outputs) {
    PyObject* rewards = slot[kRewards].get();
    const std::vector<Py_ssize_t> shape = numpy_shape(rewards);
    bool copy = false;
    if (given(slot[kOut])) {
        PyObject* out = slot[kOut].get();
        if (!PyTuple_Check(out) || PyTuple_Size(out) != 2) {
            PyErr_SetString(PyExc_TypeError, messages::kOutPair);
            return false;
        }
        static const char* const kOutNames[2] = {"out[0]", "out[1]"};
        for (int k = 0; k < 2; ++k) {
            PyObject* array = PyTuple_GetItem(out, k);
            if (!view_output(array, kFunction, kOutNames[k], 2, &outputs->views[k])) return false;
            if (numpy_shape(array) != shape) {
                py::Ref got(PyObject_GetAttrString(array, "shape")), want(PyObject_GetAttrString(rewards, "shape"));
                if (got && want)
                    PyErr_Format(PyExc_ValueError, messages::kOutShape, kFunction, kOutNames[k], got.get(), want.get());
                return false;
            }
            outputs->returned[k] = py::Ref::borrow(array);
            for (std::size_t i = 0; i < input_count; ++i)
                copy |= inputs[i] != nullptr && shares_memory(array, inputs[i]);
        }
        if (outputs->views[0].precision != outputs->views[1].precision) {
            PyErr_SetString(PyExc_TypeError, messages::kOutDtypes);
            return false;
        }
        if (shares_memory(outputs->returned[0].get(), outputs->returned[1].get())) {
            PyErr_SetString(PyExc_ValueError, messages::kOutOverlap);
            return false;
        }
        if (!copy) {
            for (int k = 0; k < 2; ++k) outputs->written[k] = py::Ref::borrow(outputs->returned[k].get());
            return true;
        }
        precision = outputs->views[0].precision;
    }
    for (int k = 0; k < 2; ++k) {
        outputs->written[k] = new_real_array(precision, 2, shape.data(), &outputs->views[k]);
        if (!outputs->written[k]) return false;
        if (!copy) outputs->returned[k] = py::Ref::borrow(outputs->written[k].get());
    }
    return true;
}

PyObject* body(PyObject* args, PyObject* kwargs) {
    static ParameterList parameters{kFunction, {}, kSlotCount, 2, 8};
    if (parameters.names[0] == nullptr)
        for (int i = 0; i < kSlotCount; ++i) parameters.names[i] = kNames[i];
    Slots slot;
    double gamma = 0.99, lambda = 0.95;
    std::int64_t time_axis = 1;
    std::string_view mask_mode = "cut";
    if (!match_arguments(parameters, args, kwargs, slot)) return nullptr;
    for (int i : {kRewards, kValues})
        if (!check_array(slot[i].get(), 2, Element::Real, kNames[i])) return nullptr;
    if (given(slot[kNextValues]) && !check_array(slot[kNextValues].get(), 2, Element::Real, "next_values"))
        return nullptr;
    for (int i : {kDones, kTruncated, kMask})
        if (given(slot[i]) && !check_array(slot[i].get(), 2, Element::Flag, kNames[i])) return nullptr;
    if (!convert_if_given(slot[kGamma], to_double, "gamma", &gamma) ||
        !convert_if_given(slot[kLambda], to_double, "gae_lambda", &lambda) ||
        !convert_if_given(slot[kTimeAxis], to_int64, "time_axis", &time_axis) ||
        !convert_if_given(slot[kMaskMode], to_utf8, "mask_mode", &mask_mode) ||
        (given(slot[kBootstrap]) && !check_array(slot[kBootstrap].get(), 1, Element::Real, "bootstrap")) ||
        (given(slot[kFinalValues]) && !check_array(slot[kFinalValues].get(), 2, Element::Real, "final_values")) ||
        (given(slot[kEpisodeStarts]) && !check_array(slot[kEpisodeStarts].get(), 2, Element::Flag, "episode_starts")) ||
        (given(slot[kLastDones]) && !check_array(slot[kLastDones].get(), 1, Element::Flag, "last_dones")))
        return nullptr;
    if (time_axis < 0) time_axis += 2;
    if (time_axis != 0 && time_axis != 1) {
        PyErr_Format(PyExc_ValueError, messages::kBadTimeAxis, static_cast<long long>(time_axis));
        return nullptr;
    }
    if (mask_mode != "cut" && mask_mode != "skip") {
        PyErr_Format(PyExc_ValueError, messages::kUnknownMaskMode, std::string(mask_mode).c_str());
        return nullptr;
    }
    const bool skip = mask_mode == "skip";
    if (skip && given(slot[kNextValues])) {
        PyErr_SetString(PyExc_ValueError, messages::kSkipWithNextValues);
        return nullptr;
    }
    if (given(slot[kBootstrap]) && given(slot[kNextValues])) {
        PyErr_SetString(PyExc_ValueError, messages::kBootstrapWithNextValues);
        return nullptr;
    }

    // float32 when every value array is float32; otherwise the float32 ones
    // are read through float64 copies, so all share one precision.
    bool all_single = true;
    for (Slot i : kValueSlots)
        if (given(slot[i])) all_single &= precision_of(slot[i].get()) == numeric::Precision::Float32;
    py::Ref widened[kSlotCount];
    PyObject* arrays[kSlotCount] = {};
    for (int i = 0; i < kSlotCount; ++i) arrays[i] = given(slot[i]) ? slot[i].get() : nullptr;
    // The scalars are no arrays: only arrays are read as views or checked for overlap with out.
    for (Slot i : {kGamma, kLambda, kTimeAxis, kMaskMode}) arrays[i] = nullptr;
    if (!all_single) {
        for (Slot i : kValueSlots) {
            if (!arrays[i] || precision_of(arrays[i]) == numeric::Precision::Float64) continue;
            widened[i] = py::Ref(PyObject_CallMethod(arrays[i], "astype", "s", "float64"));
            if (!widened[i]) return nullptr;
            arrays[i] = widened[i].get();
        }
    }
    const numeric::Precision precision = all_single ? numeric::Precision::Float32 : numeric::Precision::Float64;

    // Views, in the kernel's orientation: one row per batch entry.
    PyObject* rewards = arrays[kRewards];
    const std::vector<Py_ssize_t> shape = numpy_shape(rewards);
    const Layout layout{static_cast<int>(time_axis), time_axis == 1 ? shape[0] : shape[1],
                        time_axis == 1 ? shape[1] : shape[0]};
    kernels::PaddedBatch batch;
    batch.skip_masked = skip;
    numeric::ValueMatrix* matrices[] = {&batch.rewards, &batch.values, &batch.next_values, &batch.final_values};
    const Slot matrix_slots[] = {kRewards, kValues, kNextValues, kFinalValues};
    for (int k = 0; k < 4; ++k) {
        const Slot i = matrix_slots[k];
        if (!arrays[i]) continue;
        if (!view_values(arrays[i], kNames[i], matrices[k]) || !same_shape(arrays[i], rewards, kNames[i]))
            return nullptr;
        orient(matrices[k], layout);
    }
    if (arrays[kBootstrap] && (!view_value_run(arrays[kBootstrap], "bootstrap", &batch.bootstrap) ||
                               !rows_match(batch.bootstrap.size, layout, "bootstrap")))
        return nullptr;
    kernels::FlagMatrix* flags[] = {&batch.dones, &batch.truncated, &batch.mask, &batch.episode_starts};
    for (int k = 0; k < 4; ++k) {
        const Slot i = kMatrixFlagSlots[k];
        if (!arrays[i]) continue;
        FlagView view;
        if (!view_flags(arrays[i], kNames[i], &view) || !same_shape(arrays[i], rewards, kNames[i])) return nullptr;
        *flags[k] = flag_matrix(view);
        orient(flags[k], layout);
    }
    if (arrays[kLastDones]) {
        FlagView view;
        if (!view_flags(arrays[kLastDones], "last_dones", &view) || !rows_match(view.rows, layout, "last_dones"))
            return nullptr;
        batch.last_dones = flag_matrix(view);
    }

    // Zero strides can describe more elements than memory holds.
    std::int64_t total;
    if (__builtin_mul_overflow(layout.rows, layout.steps, &total)) return PyErr_NoMemory();
    Outputs outputs;
    if (!make_outputs(slot, arrays, kSlotCount - 1, precision, &outputs)) return nullptr;
    for (numeric::OutputMatrix& view : outputs.views) orient(&view, layout);
    kernels::padded_gae(batch, gamma, lambda, outputs.views[0], outputs.views[1]);
    for (int k = 0; k < 2; ++k)
        if (outputs.written[k].get() != outputs.returned[k].get() &&
            PyObject_SetItem(outputs.returned[k].get(), Py_Ellipsis, outputs.written[k].get()) < 0)
            return nullptr;

    py::Ref pair(PyTuple_New(2));
    if (!pair) return nullptr;
    PyTuple_SetItem(pair.get(), 0, outputs.returned[0].release());
    PyTuple_SetItem(pair.get(), 1, outputs.returned[1].release());
    return pair.release();
}

}  // namespace

PyMethodDef compute_padded_gae = define_function<body>(kFunction, kDoc);

}  // namespace qrl::binding::functions
