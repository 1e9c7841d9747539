// Message texts that are part of the module's interface: callers match on
// them, and tests compare them byte for byte.  Do not reword, re-punctuate
// or re-case any of them.  Formats use CPython's PyErr_Format/PyUnicode_
// FromFormat directives (%s UTF-8 text, %S str() of an object, %U a str,
// %d int, %zd Py_ssize_t, %lld long long, %.100s at most 100 bytes of text).  This header includes nothing, so every
// layer can use it.
#pragma once

namespace qrl::messages {

// Argument matching (TypeError).
inline constexpr const char* kTooManyPositional = "%s() takes %d positional arguments but %zd %s given";
inline constexpr const char* kTooManyPositionalRange = "%s() takes from %d to %d positional arguments but %zd %s given";
inline constexpr const char* kMissingRequired = "%s() missing %d required positional %s: %s";
inline constexpr const char* kUnexpectedKeyword = "%s() got an unexpected keyword argument '%S'";
inline constexpr const char* kMultipleValues = "%s() got multiple values for argument '%s'";

// Conversion (TypeError unless noted).
inline constexpr const char* kArgumentPrefix = "argument '%s': %S";
inline constexpr const char* kConversionRefusal = "'%U' object cannot be converted to '%s'";
inline constexpr const char* kUnknownTypeName = "<failed to extract type name>";
inline constexpr const char* kStrForSequence = "Can't extract `str` to `Vec`";
inline constexpr const char* kNoBoolConversion = "object of type '%S' does not define a '__bool__' conversion";
inline constexpr const char* kNotContiguous = "The given array is not contiguous";
// Target names in the conversion refusal.
inline constexpr const char* kArrayTarget = "PyArray<T, D>";
inline constexpr const char* kSequenceTarget = "Sequence";
inline constexpr const char* kBoolTarget = "PyBool";
inline constexpr const char* kStringTarget = "PyString";
inline constexpr const char* kListTarget = "PyList";

// Exception notes (PEP 678) on a refused argument: what the parameter expected.
inline constexpr const char* kExpectationNote = "%s: expected %s; got %U";
inline constexpr const char* kItemNote = "%s[%zu]: expected a one-dimensional float64 numpy.ndarray; got %U";
inline constexpr const char* kStridedNote = "%s: not contiguous (strides (%lld,)); pass numpy.ascontiguousarray(%s)";
inline constexpr const char* kArrayDescription = "%S with %d dimension%s";
inline constexpr const char* kExpectedRealMatrix = "a two-dimensional float32 or float64 numpy.ndarray";
inline constexpr const char* kExpectedRealVector = "a one-dimensional float32 or float64 numpy.ndarray";
inline constexpr const char* kExpectedFlagMatrix = "a two-dimensional bool, integer or floating numpy.ndarray";
inline constexpr const char* kExpectedFlagVector = "a one-dimensional bool, integer or floating numpy.ndarray";
inline constexpr const char* kExpectedBoolMatrix = "a two-dimensional bool numpy.ndarray";
inline constexpr const char* kExpectedInt64Vector = "a one-dimensional int64 numpy.ndarray";
inline constexpr const char* kExpectedFloat64Matrix = "a two-dimensional float64 numpy.ndarray";
inline constexpr const char* kExpectedFloat64Vector = "a one-dimensional float64 numpy.ndarray";
inline constexpr const char* kExpectedNumbers = "a sequence of numbers (list, tuple or numpy.ndarray)";
inline constexpr const char* kExpectedBool = "a bool or numpy.bool_";
inline constexpr const char* kExpectedArrays = "a sequence of one-dimensional float64 numpy.ndarray";
inline constexpr const char* kExpectedStr = "a str";

// Values of the core functions' arguments.
inline constexpr const char* kCountOverflow =
    "count + len(rewards) does not fit in a signed 64-bit integer";  // OverflowError

// Import (ImportError unless noted).
inline constexpr const char* kSubInterpreter =
    "quorvale_rl_core does not support sub-interpreters: it can only be used from the "
    "interpreter that first imported it";
inline constexpr const char* kNoExceptionSet = "attempted to fetch exception but none was set";  // SystemError

// Values of the trainer kernels' arguments (ValueError).
inline constexpr const char* kShapeMismatch =
    "compute_padded_gae(): '%s' has shape (%lld, %lld) but 'rewards' has (%lld, %lld)";
inline constexpr const char* kNegativeGroupLength = "group_lengths[%lld] is negative: %lld";
inline constexpr const char* kGroupLengthsTotal = "group_lengths sum to %lld but rewards holds %lld values";
inline constexpr const char* kUnknownBaseline =
    "baseline_type must be \"mean\", \"median\", \"min\" or \"leave_one_out\", not \"%.100s\"";
inline constexpr const char* kUnknownScale = "scale must be \"group\", \"batch\" or \"none\", not \"%.100s\"";
inline constexpr const char* kRowsMismatch = "compute_padded_gae(): '%s' has %lld entries but the batch has %lld rows";
inline constexpr const char* kBadTimeAxis = "compute_padded_gae(): time_axis must be 0 or 1, not %lld";
inline constexpr const char* kBoolTimeAxis = "compute_padded_gae(): time_axis must be 0 or 1, not %R";
inline constexpr const char* kUnknownMaskMode =
    "mask_mode must be \"cut\", \"skip\", \"carry\" or \"zero\", not \"%.100s\"";
inline constexpr const char* kSkipWithNextValues =
    "compute_padded_gae(): mask_mode=\"%.100s\" takes the next value from 'values'; pass next_values=None";
inline constexpr const char* kBootstrapWithNextValues =
    "compute_padded_gae(): 'bootstrap' is the value after each row's last step when next_values is None; "
    "with next_values it has no use";
inline constexpr const char* kOutPair = "compute_padded_gae(): out must be a tuple (advantages, returns) of two arrays";
inline constexpr const char* kOutShape = "%s(): '%s' has shape %S but the result has shape %S";
inline constexpr const char* kOutDtypes = "compute_padded_gae(): the two out arrays must have one dtype";
inline constexpr const char* kOutOverlap = "compute_padded_gae(): the two out arrays share memory";
inline constexpr const char* kReadOnlyOutput = "%s(): '%s' is read-only";
inline constexpr const char* kSelfOverlappingOutput = "%s(): '%s' has elements that share memory";
// An array that a later argument's conversion (a __float__, an __index__, a
// subclass hook) reshaped, retyped or moved: it is refused, never read.
inline constexpr const char* kArgumentChanged =
    "%s(): '%s' changed while the other arguments were converted (%s); pass it unchanged";
inline constexpr const char* kChangedShape = "its shape";
inline constexpr const char* kChangedDtype = "its dtype";
inline constexpr const char* kChangedStrides = "its strides";
inline constexpr const char* kChangedMemory = "its memory";
inline constexpr const char* kChangedWriteable = "it became read-only";
inline constexpr const char* kBadDdof = "%s(): std_ddof must be 0 or 1, not %lld";
inline constexpr const char* kWhitenNotDict =
    "argument 'whiten': expected None or a dict of compute_masked_whitening's keywords";
inline constexpr const char* kMaskShape = "%s(): 'mask' has shape %S but the values have shape %S";
inline constexpr const char* kArrayShape = "%s(): '%s' has shape %S but 'logprob' has shape %S";
inline constexpr const char* kRowValuesMismatch =
    "broadcast_row_values(): 'values' has %lld entries but 'mask' has %lld rows";
inline constexpr const char* kUnknownUnmasked =
    "unmasked must be \"whitened\", \"zero\" or \"times_mask\", not \"%.100s\"";
inline constexpr const char* kUnknownKlEstimator =
    "estimator must be \"k1\", \"kl\", \"abs\", \"k2\", \"mse\", \"k3\" or \"low_var_kl\", not \"%.100s\"";
inline constexpr const char* kTooFewMasked =
    "%s(): the mask keeps %lld element(s), too few for a variance with std_ddof=%lld";
inline constexpr const char* kGroupsGivenTwice =
    "compute_grpo_advantages_ragged(): pass exactly one of group_lengths and group_ids";
inline constexpr const char* kGroupIdsLength = "group_ids has %lld entries but rewards holds %lld values";

// Internal failures (the PanicException), as message prefixes or whole texts.
inline constexpr const char* kNumpyCapsule = "Failed to access NumPy array API capsule: ";
inline constexpr const char* kDictStore = "Failed to set_item on dict: ";
inline constexpr const char* kClampBounds = "min > max, or either was NaN. min = ";
inline constexpr const char* kClampBoundsMax = ", max = ";
inline constexpr const char* kPoolNotStarted = "The global thread pool has not been initialized.: ";
inline constexpr const char* kNanInSort = "called `Option::unwrap()` on a `None` value";

}  // namespace qrl::messages
