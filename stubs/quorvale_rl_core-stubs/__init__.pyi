"""Exact numerical kernels for reinforcement-learning trainers of sequence models.

Every function returns new objects and never writes to its inputs. Array
parameters take one-dimensional NumPy arrays of the stated element type as
they are (nothing is cast); the functions that need contiguous arrays raise
``TypeError("The given array is not contiguous")`` for strided views.
"""

from collections.abc import Mapping, Sequence
from typing import Any, Literal, SupportsFloat, SupportsIndex, TypeAlias, TypedDict, overload

import numpy as np
import numpy.typing as npt

__all__ = [
    "compute_group_advantages",
    "compute_gae",
    "batch_compute_gae",
    "normalize_rewards",
    "clip_rewards_py",
    "compute_gspo_importance_ratios",
    "apply_gspo_clipping",
    "compute_ppo_surrogate",
    "compute_reward_statistics",
    "compute_padded_gae",
    "compute_grpo_advantages",
    "compute_grpo_advantages_ragged",
    "compute_masked_whitening",
    "compute_masked_returns",
    "broadcast_row_values",
    "compute_kl_penalty",
    "runtime_info",
    "__version__",
]

__version__: str

_Float64Array: TypeAlias = npt.NDArray[np.float64]
_Int64Array: TypeAlias = npt.NDArray[np.int64]
_Float32Array: TypeAlias = npt.NDArray[np.float32]
_RealArray: TypeAlias = npt.NDArray[np.float32] | npt.NDArray[np.float64]
# Flags of any bool, integer or floating dtype: nonzero (and NaN) is set.
_FlagArray: TypeAlias = npt.NDArray[np.bool_ | np.integer[Any] | np.floating[Any]]
_MaskMode: TypeAlias = Literal["cut", "skip", "carry", "zero"]
_Unmasked: TypeAlias = Literal["whitened", "zero", "times_mask"]
_KlEstimator: TypeAlias = Literal["k1", "kl", "abs", "k2", "mse", "k3", "low_var_kl"]
_GroupBaseline: TypeAlias = Literal["mean", "median", "min", "leave_one_out"]
_Scale: TypeAlias = Literal["group", "batch", "none"]
# Scalars are read with float(): float, int, bool, NumPy scalars, objects with __float__ or __index__.
_Real: TypeAlias = SupportsFloat | SupportsIndex
# Read with operator.index(): int, bool, NumPy integers; never float.
_Integer: TypeAlias = SupportsIndex
# The baselines by name. The module reads any other string as "mean": the type
# refuses them so that a misspelt name ("meadian") is caught before it runs.
_Baseline: TypeAlias = Literal["mean", "median", "min"]
# Any sequence of numbers (not str), copied element by element.
_RealSequence: TypeAlias = Sequence[_Real] | npt.NDArray[np.floating[Any] | np.integer[Any] | np.bool_]

def compute_group_advantages(
    rewards: _Float64Array,
    baseline_type: _Baseline,
    normalize: bool | np.bool_,
) -> _Float64Array:
    """GRPO advantages of a (groups, members) float64 array, flattened row by row.

    ``baseline_type`` "mean", "median" or "min" selects that baseline (at run
    time any other string selects the mean too). With ``normalize``, each group
    of two or more members is standardised as (a - mean) / (std + 1e-8) when its
    std exceeds 1e-8.
    Any strides are accepted.
    """

def compute_gae(
    rewards: _Float64Array,
    values: _Float64Array,
    gamma: _Real = 0.99,
    gae_lambda: _Real = 0.95,
) -> _Float64Array:
    """GAE advantages of one trajectory; ``values`` normally has one more entry (bootstrap).

    Missing value estimates count as 0.0. Both arrays must be contiguous.
    """

def batch_compute_gae(
    all_rewards: Sequence[_Float64Array] | _Float64Array,
    all_values: Sequence[_Float64Array] | _Float64Array,
    gamma: _Real = 0.99,
    gae_lambda: _Real = 0.95,
) -> list[_Float64Array]:
    """GAE advantages of many trajectories in parallel, one array per pair of items.

    The result has min(len(all_rewards), len(all_values)) arrays; a 2-D array
    counts as a sequence of its rows. Strided items are read honouring their strides.
    """

def normalize_rewards(
    rewards: _Float64Array,
    running_mean: _Real = 0.0,
    running_var: _Real = 1.0,
    count: _Integer = 0,
    epsilon: _Real = 1e-8,
) -> tuple[_Float64Array, float, float, int]:
    """Fold ``rewards`` into running statistics (Welford) and standardise them.

    Returns (normalised rewards, new mean, new population variance, new count);
    pass the last three back in on the next call. OverflowError when the new
    count does not fit in a signed 64-bit integer.
    """

def clip_rewards_py(
    rewards: _Float64Array,
    min_val: _Real,
    max_val: _Real,
) -> _Float64Array:
    """Clamp every reward into [min_val, max_val]; NaN stays NaN.

    Bounds with min_val > max_val or a NaN raise the internal-failure exception
    (a BaseException) unless ``rewards`` is empty.
    """

def compute_gspo_importance_ratios(
    log_probs_new: _Float64Array,
    log_probs_old: _Float64Array,
    sequence_lengths: _Int64Array,
) -> _Float64Array:
    """Sequence ratios exp((new - old) / length); exactly 1.0 where length < 1."""

def apply_gspo_clipping(
    ratios: _Float64Array,
    advantages: _Float64Array,
    clip_left: _Real = 0.0003,
    clip_right: _Real = 0.0004,
) -> _Float64Array:
    """GSPO objective per sequence: min(r*A, A*min(r, 1+clip_right)) for A >= 0,
    min(r*A, A*max(r, 1-clip_left)) otherwise."""

def compute_ppo_surrogate(
    ratios: _Float64Array,
    advantages: _Float64Array,
    clip_epsilon: _Real = 0.2,
) -> _Float64Array:
    """PPO objective per element: min(A*r, A*clip(r, 1-eps, 1+eps)), not averaged.

    A negative ``clip_epsilon`` that crosses the bounds, or NaN, raises the
    internal-failure exception (a BaseException) for non-empty input.
    """

def compute_reward_statistics(rewards: _RealSequence) -> dict[str, float]:
    """Keys "mean", "std" (population), "min", "max", "median", "count" (a float).

    An empty input gives 0.0 for the first five and no "count". A NaN among two
    or more values raises the internal-failure exception (a BaseException).
    """

@overload
def compute_padded_gae(  # type: ignore[overload-overlap]  # a float32 array is the narrower case
    rewards: _Float32Array,
    values: _Float32Array,
    next_values: _Float32Array | None = None,
    dones: _FlagArray | None = None,
    truncated: _FlagArray | None = None,
    mask: _FlagArray | None = None,
    gamma: _Real = 0.99,
    gae_lambda: _Real = 0.95,
    *,
    time_axis: _Integer = 1,
    mask_mode: _MaskMode = "cut",
    bootstrap: _Float32Array | None = None,
    final_values: _Float32Array | None = None,
    episode_starts: _FlagArray | None = None,
    last_dones: _FlagArray | None = None,
    out: tuple[_RealArray, _RealArray] | None = None,
    whiten: Mapping[str, object] | None = None,
) -> tuple[_Float32Array, _Float32Array]: ...
@overload
def compute_padded_gae(
    rewards: _RealArray,
    values: _RealArray,
    next_values: _RealArray | None = None,
    dones: _FlagArray | None = None,
    truncated: _FlagArray | None = None,
    mask: _FlagArray | None = None,
    gamma: _Real = 0.99,
    gae_lambda: _Real = 0.95,
    *,
    time_axis: _Integer = 1,
    mask_mode: _MaskMode = "cut",
    bootstrap: _RealArray | None = None,
    final_values: _RealArray | None = None,
    episode_starts: _FlagArray | None = None,
    last_dones: _FlagArray | None = None,
    out: tuple[_RealArray, _RealArray] | None = None,
    whiten: Mapping[str, object] | None = None,
) -> tuple[_Float64Array, _Float64Array]:
    """GAE over (batch, time) matrices of one shape (``time_axis=0``: (time, batch));
    returns (advantages, returns), float32 when every value array is float32.

    ``next_values[b, t]`` is the value of the state step t leads to; with
    ``next_values=None`` it is ``values[b, t + 1]`` and ``bootstrap[b]`` after
    the last step. Flags of any dtype (nonzero is set): ``dones`` ends an
    episode without bootstrap, ``truncated`` with one (``final_values``),
    ``episode_starts``/``last_dones`` mark the step after an end; a masked step
    is padding (``mask_mode="cut"``) or skipped (``"skip"``). ``out`` receives
    the results. Rows equal compute_gae on each episode.
    """

@overload
def compute_grpo_advantages(  # type: ignore[overload-overlap]  # a float32 array is the narrower case
    rewards: _Float32Array,
    baseline_type: _GroupBaseline = "mean",
    scale: _Scale = "group",
    *,
    std_ddof: Literal[0, 1] = 0,
    epsilon: _Real = 1e-08,
    std_floor: _Real = 1e-08,
    out: _RealArray | None = None,
) -> _Float32Array: ...
@overload
def compute_grpo_advantages(
    rewards: _Float64Array,
    baseline_type: _GroupBaseline = "mean",
    scale: _Scale = "group",
    *,
    std_ddof: Literal[0, 1] = 0,
    epsilon: _Real = 1e-08,
    std_floor: _Real = 1e-08,
    out: _RealArray | None = None,
) -> _Float64Array:
    """Advantages of (groups, members) rewards, same shape and dtype; "group" scale
    equals compute_group_advantages with normalize=True. Unknown names raise ValueError."""

@overload
def compute_grpo_advantages_ragged(  # type: ignore[overload-overlap]  # a float32 array is the narrower case
    rewards: _Float32Array,
    group_lengths: _Int64Array | None = None,
    baseline_type: _GroupBaseline = "mean",
    scale: _Scale = "group",
    *,
    group_ids: _Int64Array | None = None,
    std_ddof: Literal[0, 1] = 0,
    epsilon: _Real = 1e-08,
    std_floor: _Real = 1e-08,
    out: _RealArray | None = None,
) -> _Float32Array: ...
@overload
def compute_grpo_advantages_ragged(
    rewards: _Float64Array,
    group_lengths: _Int64Array | None = None,
    baseline_type: _GroupBaseline = "mean",
    scale: _Scale = "group",
    *,
    group_ids: _Int64Array | None = None,
    std_ddof: Literal[0, 1] = 0,
    epsilon: _Real = 1e-08,
    std_floor: _Real = 1e-08,
    out: _RealArray | None = None,
) -> _Float64Array:
    """Advantages of groups of the given lengths (>= 0, summing to len(rewards))
    laid one after another in ``rewards``, or labelled by ``group_ids`` in any
    order; a flat array in the order of rewards."""

@overload
def compute_masked_whitening(  # type: ignore[overload-overlap]  # a float32 array is the narrower case
    values: _Float32Array,
    mask: _FlagArray | None = None,
    *,
    std_ddof: Literal[0, 1] = 1,
    count_epsilon: _Real = 1e-08,
    epsilon: _Real = 1e-08,
    shift_mean: bool = True,
    unmasked: _Unmasked = "whitened",
    float32_counts: bool = False,
    out: _RealArray | None = None,
) -> _Float32Array: ...
@overload
def compute_masked_whitening(
    values: _Float64Array,
    mask: _FlagArray | None = None,
    *,
    std_ddof: Literal[0, 1] = 1,
    count_epsilon: _Real = 1e-08,
    epsilon: _Real = 1e-08,
    shift_mean: bool = True,
    unmasked: _Unmasked = "whitened",
    float32_counts: bool = False,
    out: _RealArray | None = None,
) -> _Float64Array:
    """(values - mean) / sqrt(variance + epsilon) with the statistics of the masked
    elements (verl's masked_whiten by default); same shape and dtype."""

@overload
def compute_masked_returns(  # type: ignore[overload-overlap]  # a float32 array is the narrower case
    rewards: _Float32Array,
    mask: _FlagArray | None = None,
    gamma: _Real = 0.99,
    *,
    mask_mode: _MaskMode = "cut",
    out: _RealArray | None = None,
) -> _Float32Array: ...
@overload
def compute_masked_returns(
    rewards: _Float64Array,
    mask: _FlagArray | None = None,
    gamma: _Real = 0.99,
    *,
    mask_mode: _MaskMode = "cut",
    out: _RealArray | None = None,
) -> _Float64Array:
    """Discounted returns of each row, masked steps cut, skipped, carried or zeroed."""

@overload
def broadcast_row_values(  # type: ignore[overload-overlap]  # a float32 array is the narrower case
    values: _Float32Array, mask: _FlagArray, *, out: _RealArray | None = None
) -> _Float32Array: ...
@overload
def broadcast_row_values(values: _Float64Array, mask: _FlagArray, *, out: _RealArray | None = None) -> _Float64Array:
    """values[i] * mask[i, j] for flags of the mask's shape: values[i] or a signed zero."""

@overload
def compute_kl_penalty(  # type: ignore[overload-overlap]  # a float32 array is the narrower case
    logprob: _Float32Array,
    ref_logprob: _Float32Array,
    estimator: _KlEstimator = "k1",
    mask: _FlagArray | None = None,
    *,
    rewards: _Float32Array | None = None,
    beta: _Real = 1.0,
    out: _RealArray | None = None,
) -> _Float32Array: ...
@overload
def compute_kl_penalty(
    logprob: _RealArray,
    ref_logprob: _RealArray,
    estimator: _KlEstimator = "k1",
    mask: _FlagArray | None = None,
    *,
    rewards: _RealArray | None = None,
    beta: _Real = 1.0,
    out: _RealArray | None = None,
) -> _Float64Array:
    """Per-token KL estimates (times the mask), or rewards - beta * them."""

class _RuntimeInfo(TypedDict):
    version: str
    instruction_set: Literal["baseline", "avx2", "avx512", "neon", "generic"]
    instruction_sets_allowed: list[str]
    cpu_features_cap: Literal["baseline", "avx2", "avx512"] | None
    pool_threads: int
    pool_threads_source: Literal["RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS", "affinity", "quota", "online"]
    pool_started: bool
    pool_failure: str | None
    online_processors: int
    affinity_processors: int
    cpu_quota: float | None

def runtime_info() -> _RuntimeInfo:
    """What this process runs with: version, instruction-set path, worker pool size and how it was decided."""

# Written by .ci/function_lists.py from tests/registry.py: the functions with no def above.
# End of the written defs.
