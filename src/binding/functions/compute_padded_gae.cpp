// compute_padded_gae: GAE over a padded batch with episode ends,
// truncations, padding or skipped steps; one parallel item per row.
// Parameter list, defaults, docstring and body of the Python function.
#include <array>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "binding/arguments.h"
#include "binding/array_record.h"
#include "binding/conversions.h"
#include "binding/function_definition.h"
#include "binding/functions/group_choice.h"
#include "binding/functions/whitening_options.h"
#include "binding/results.h"
#include "failure/messages.h"
#include "kernels/padded_gae.h"

namespace qrl::binding::functions {
namespace {

constexpr const char* kFunction = "compute_padded_gae";

constexpr const char* kDoc =
    "compute_padded_gae(rewards, values, next_values=None, dones=None, truncated=None, mask=None, gamma=0.99, "
    "gae_lambda=0.95, *, time_axis=1, mask_mode=\"cut\", bootstrap=None, final_values=None, episode_starts=None, "
    "last_dones=None, out=None, whiten=None)\n--\n\n"
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
    "    mask: flags (batch, time) or None, unset on masked steps (padding,\n"
    "        skipped steps): see mask_mode\n"
    "    gamma: Discount factor (default 0.99)\n"
    "    gae_lambda: GAE lambda parameter (default 0.95)\n"
    "    time_axis: 1 (default, arrays (batch, time)) or 0 (arrays (time, batch))\n"
    "    mask_mode: what a masked step is: \"cut\" (default: padding, the recursion\n"
    "        restarts), \"skip\" (it passes the carried advantage and next value to\n"
    "        the step before), \"carry\" (as \"skip\", and it holds the advantage\n"
    "        carried through it, its return that plus its value) or \"zero\" (its\n"
    "        reward and value read as 0.0, the recursion runs through it)\n"
    "    bootstrap: array (batch,), the value after each row's last step, when\n"
    "        next_values is None (default 0.0)\n"
    "    final_values: array (batch, time), the next value at truncated steps\n"
    "    episode_starts: flags (batch, time), a new episode starts at this step\n"
    "        (so the step before it is done)\n"
    "    last_dones: flags (batch,), the row's last step is done\n"
    "    out: tuple (advantages, returns) of arrays of the rewards' shape to write\n"
    "    whiten: None (default), or a dict of compute_masked_whitening's keywords:\n"
    "        the advantages are then whitened over mask (every step without one)\n"
    "        as compute_masked_whitening(advantages, mask, **whiten) whitens them,\n"
    "        to the bit, their sum taken while they are formed; returns are formed\n"
    "        before.  Its ValueError leaves out holding the advantages unwhitened\n"
    "\n"
    "Returns:\n"
    "    Tuple (advantages, returns) of arrays of the rewards' shape, float32 when\n"
    "    every value array is float32, else float64; returns = advantages + values\n"
    "    on unmasked steps, 0.0 on masked ones but with \"carry\" and \"zero\"";

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
    kWhiten,
    kSlotCount
};

constexpr std::array<const char*, kSlotCount> kNames = {
    "rewards",   "values",    "next_values", "dones",        "truncated",      "mask",       "gamma", "gae_lambda",
    "time_axis", "mask_mode", "bootstrap",   "final_values", "episode_starts", "last_dones", "out",   "whiten"};

constexpr Slot kValueSlots[] = {kRewards, kValues, kNextValues, kBootstrap, kFinalValues};
constexpr Slot kMatrixFlagSlots[] = {kDones, kTruncated, kMask, kEpisodeStarts};

// The kernel's view: one row per batch entry, `steps` along it.
struct Layout {
    int time_axis;
    std::int64_t rows, steps;  // of the kernel's view
};

bool same_shape(const ArrayRecord& array, const ArrayRecord& rewards) {
    if (array.shape[0] == rewards.shape[0] && array.shape[1] == rewards.shape[1]) return true;
    PyErr_Format(PyExc_ValueError, messages::kShapeMismatch, array.name, static_cast<long long>(array.shape[0]),
                 static_cast<long long>(array.shape[1]), static_cast<long long>(rewards.shape[0]),
                 static_cast<long long>(rewards.shape[1]));
    return false;
}

bool rows_match(const ArrayRecord& array, const Layout& layout) {
    if (array.rows() == layout.rows) return true;
    PyErr_Format(PyExc_ValueError, messages::kRowsMismatch, array.name, static_cast<long long>(array.rows()),
                 static_cast<long long>(layout.rows));
    return false;
}

template <class Matrix>
void orient(Matrix* m, const Layout& layout) {
    if (layout.time_axis != 0) return;
    if constexpr (requires { m->rows; }) std::swap(m->rows, m->columns);
    std::swap(m->row_stride, m->column_stride);
}

// The caller's `out` pair, recorded: two writeable arrays of the rewards'
// shape and one dtype, apart from each other.
bool record_outputs(PyObject* out, const ArrayRecord& rewards, ArrayRecord* records) {
    if (!PyTuple_Check(out) || PyTuple_Size(out) != 2) {
        PyErr_SetString(PyExc_TypeError, messages::kOutPair);
        return false;
    }
    static const char* const kOutNames[2] = {"out[0]", "out[1]"};
    for (int k = 0; k < 2; ++k) {
        ArrayRecord& record = records[k];
        if (!record_output(PyTuple_GetItem(out, k), kFunction, kOutNames[k], 2, &record)) return false;
        if (record.shape[0] != rewards.shape[0] || record.shape[1] != rewards.shape[1]) {
            py::Ref got = shape_tuple(record), want = shape_tuple(rewards);
            if (got && want)
                PyErr_Format(PyExc_ValueError, messages::kOutShape, kFunction, kOutNames[k], got.get(), want.get());
            return false;
        }
    }
    if (records[0].precision != records[1].precision) {
        PyErr_SetString(PyExc_TypeError, messages::kOutDtypes);
        return false;
    }
    if (memory_meets(records[0], records[1])) {
        PyErr_SetString(PyExc_ValueError, messages::kOutOverlap);
        return false;
    }
    return true;
}

// `whiten`: None, or a dict of the whitening keywords.
bool convert_whiten(const py::Ref& given_slot, std::optional<WhiteningOptions>* whitening) {
    if (!given_slot || given_slot.get() == Py_None) return true;
    if (!PyDict_Check(given_slot.get())) {
        PyErr_SetString(PyExc_TypeError, messages::kWhitenNotDict);
        return false;
    }
    static ParameterList keywords{kFunction, {QRL_WHITENING_KEYWORDS}, kWhiteningKeywords, 0, 0};
    py::Ref none(PyTuple_New(0));
    Slots slot;
    if (!none || !match_arguments(keywords, none.get(), given_slot.get(), slot)) return false;
    return convert_whitening(&slot[0], kFunction, &whitening->emplace());
}

PyObject* body(PyObject* args, PyObject* kwargs) {
    static ParameterList parameters{kFunction, {}, kSlotCount, 2, 8};
    if (parameters.names[0] == nullptr)
        for (int i = 0; i < kSlotCount; ++i) parameters.names[i] = kNames[i];
    Slots slot;
    double gamma = 0.99, lambda = 0.95;
    std::int64_t time_axis = 1;
    std::string_view mask_mode = "cut";
    ArrayRecord record[kSlotCount];
    std::optional<WhiteningOptions> whitening;
    const auto take = [&](Slot i, int ndim, Element element) {
        return !given(slot[i]) || record_array(slot[i].get(), ndim, element, kNames[i], &record[i]);
    };
    if (!match_arguments(parameters, args, kwargs, slot)) return nullptr;
    if (!take(kRewards, 2, Element::Real) || !take(kValues, 2, Element::Real) || !take(kNextValues, 2, Element::Real) ||
        !take(kDones, 2, Element::Flag) || !take(kTruncated, 2, Element::Flag) || !take(kMask, 2, Element::Flag))
        return nullptr;
    if (slot[kTimeAxis] && PyBool_Check(slot[kTimeAxis].get())) {
        PyErr_Format(PyExc_ValueError, messages::kBoolTimeAxis, slot[kTimeAxis].get());
        return nullptr;
    }
    if (!convert_if_given(slot[kGamma], to_double, "gamma", &gamma) ||
        !convert_if_given(slot[kLambda], to_double, "gae_lambda", &lambda) ||
        !convert_if_given(slot[kTimeAxis], to_int64, "time_axis", &time_axis) ||
        !convert_if_given(slot[kMaskMode], to_utf8, "mask_mode", &mask_mode) || !take(kBootstrap, 1, Element::Real) ||
        !take(kFinalValues, 2, Element::Real) || !take(kEpisodeStarts, 2, Element::Flag) ||
        !take(kLastDones, 1, Element::Flag) || !convert_whiten(slot[kWhiten], &whitening))
        return nullptr;
    // Every array is recorded; from here on no Python code runs until the
    // result is returned, so the records are checked once more here and
    // are all the kernel reads.
    const auto all_records = [&] {
        return unchanged(
            {&record[kRewards], &record[kValues], &record[kNextValues], &record[kDones], &record[kTruncated],
             &record[kMask], &record[kBootstrap], &record[kFinalValues], &record[kEpisodeStarts], &record[kLastDones]},
            kFunction);
    };
    if (!all_records()) return nullptr;
    if (time_axis < 0) time_axis += 2;
    if (time_axis != 0 && time_axis != 1) {
        PyErr_Format(PyExc_ValueError, messages::kBadTimeAxis, static_cast<long long>(time_axis));
        return nullptr;
    }
    kernels::MaskMode mode;
    if (!kernels::mask_mode_from_name(mask_mode, &mode)) {
        PyErr_Format(PyExc_ValueError, messages::kUnknownMaskMode, std::string(mask_mode).c_str());
        return nullptr;
    }
    if ((mode == kernels::MaskMode::Skip || mode == kernels::MaskMode::Carry) && record[kNextValues].present()) {
        PyErr_Format(PyExc_ValueError, messages::kSkipWithNextValues, std::string(mask_mode).c_str());
        return nullptr;
    }
    if (record[kBootstrap].present() && record[kNextValues].present()) {
        PyErr_SetString(PyExc_ValueError, messages::kBootstrapWithNextValues);
        return nullptr;
    }

    const ArrayRecord& rewards = record[kRewards];
    const Layout layout{static_cast<int>(time_axis), time_axis == 1 ? rewards.shape[0] : rewards.shape[1],
                        time_axis == 1 ? rewards.shape[1] : rewards.shape[0]};
    for (Slot i : {kRewards, kValues, kNextValues, kFinalValues})
        if (record[i].present() && !same_shape(record[i], rewards)) return nullptr;
    if (record[kBootstrap].present() && !rows_match(record[kBootstrap], layout)) return nullptr;
    for (Slot i : kMatrixFlagSlots)
        if (record[i].present() && !same_shape(record[i], rewards)) return nullptr;
    if (record[kLastDones].present() && !rows_match(record[kLastDones], layout)) return nullptr;

    // Zero strides can describe more elements than memory holds.
    std::int64_t total;
    if (__builtin_mul_overflow(layout.rows, layout.steps, &total)) return PyErr_NoMemory();
    ArrayRecord out[2];
    if (given(slot[kOut]) && !record_outputs(slot[kOut].get(), rewards, out)) return nullptr;
    if (!unchanged({&out[0], &out[1]}, kFunction) || !all_records()) return nullptr;

    // float32 when every value array is float32; otherwise the float32 ones
    // are read through float64 copies, so all share one precision.
    bool all_single = true;
    for (Slot i : kValueSlots)
        if (record[i].present()) all_single &= record[i].precision == numeric::Precision::Float32;
    numeric::Precision precision = all_single ? numeric::Precision::Float32 : numeric::Precision::Float64;
    std::vector<double> storage[4];
    kernels::PaddedBatch batch;
    batch.mask_mode = mode;
    numeric::ValueMatrix* matrices[] = {&batch.rewards, &batch.values, &batch.next_values, &batch.final_values};
    const Slot matrix_slots[] = {kRewards, kValues, kNextValues, kFinalValues};
    for (int k = 0; k < 4; ++k) {
        const ArrayRecord& r = record[matrix_slots[k]];
        if (!r.present()) continue;
        *matrices[k] = all_single ? r.values() : widened(r.values(), &storage[k]);
        orient(matrices[k], layout);
    }
    std::vector<double> bootstrap_storage;
    if (record[kBootstrap].present())
        batch.bootstrap =
            all_single ? record[kBootstrap].value_run() : widened(record[kBootstrap].value_run(), &bootstrap_storage);
    numeric::FlagMatrix* flags[] = {&batch.dones, &batch.truncated, &batch.mask, &batch.episode_starts};
    for (int k = 0; k < 4; ++k) {
        const ArrayRecord& r = record[kMatrixFlagSlots[k]];
        if (!r.present()) continue;
        *flags[k] = r.flags();
        orient(flags[k], layout);
    }
    if (record[kLastDones].present()) batch.last_dones = record[kLastDones].flags();

    // The results: the caller's arrays, or new ones.  When an output shares
    // memory with an input, the kernel writes new arrays that are copied into
    // it at the end, so no input is overwritten before it is read.
    bool through_copies = false;
    if (out[0].present()) {
        for (const ArrayRecord& o : out)
            for (const ArrayRecord& r : record) through_copies |= r.present() && memory_meets(o, r);
        precision = out[0].precision;
    }
    const Py_ssize_t shape[2] = {rewards.shape[0], rewards.shape[1]};
    py::Ref written[2];
    numeric::OutputMatrix views[2];
    for (int k = 0; k < 2; ++k) {
        if (out[k].present() && !through_copies) {
            views[k] = out[k].output();
            continue;
        }
        written[k] = new_real_array(precision, 2, shape, &views[k]);
        if (!written[k]) return nullptr;
    }
    // Whitening along the rows the kernel runs: their blocks' sums are
    // taken as they are written (time-major rows are summed apart).
    const bool gather = whitening && layout.time_axis == 1;
    const std::int64_t per_row = kernels::blocks_per_row(layout.steps);
    std::vector<double> block_sums(gather ? static_cast<std::size_t>(layout.rows * per_row) : 0);
    std::vector<std::int64_t> block_counts(block_sums.size());
    const kernels::BlockSums sums{block_sums.data(), block_counts.data(), per_row};
    for (numeric::OutputMatrix& view : views) orient(&view, layout);
    kernels::padded_gae(batch, gamma, lambda, views[0], views[1], gather ? &sums : nullptr);
    for (numeric::OutputMatrix& view : views) orient(&view, layout);
    if (whitening) {
        const numeric::OutputMatrix& a = views[0];
        const numeric::ValueMatrix advantages{a.data, a.rows, a.columns, a.row_stride, a.column_stride, a.precision};
        const numeric::FlagMatrix mask = record[kMask].present() ? record[kMask].flags() : numeric::FlagMatrix{};
        kernels::Moments moments;
        if (!whitening_moments(advantages, mask, *whitening, kFunction, &moments, gather ? &sums : nullptr)) {
            for (int k = 0; k < 2; ++k)  // the caller's arrays hold what was computed
                if (out[k].present() && through_copies) numeric::copy_matrix(views[k], out[k].output());
            return nullptr;
        }
        whiten(advantages, mask, moments, *whitening, views[0]);
    }
    py::Ref pair(PyTuple_New(2));
    if (!pair) return nullptr;
    for (int k = 0; k < 2; ++k) {
        if (out[k].present()) {
            if (through_copies) numeric::copy_matrix(views[k], out[k].output());
            PyTuple_SetItem(pair.get(), k, py::Ref::borrow(out[k].array.get()).release());
        } else {
            PyTuple_SetItem(pair.get(), k, written[k].release());
        }
    }
    return pair.release();
}

}  // namespace

PyMethodDef compute_padded_gae = define_function<body>(kFunction, kDoc);

}  // namespace qrl::binding::functions
