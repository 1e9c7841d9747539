"""PyTorch tensors in, PyTorch tensors out: the functions of quorvale_rl_core for torch code.

Each function takes tensors of any floating dtype on any device (Python lists and NumPy arrays are
passed through to quorvale_rl_core unchanged) and returns tensors of the dtype and device of its first
tensor argument. The trainer-layer functions (`compute_padded_gae` and those after it in `__all__`) read
CPU float32 and float64 tensors in place, any strides, and write
float32 results when every floating input is float32; bfloat16 and float16 tensors cost one conversion
to float32, tensors on other devices one copy to the CPU. They accept `out=` tensors (the results are
written there and the same tensors returned) and pass their keyword parameters through. The other
functions compute in float64: a CPU float64 tensor reaches them without a copy (strided ones where the
kernel reads strides), every other tensor costs one conversion to float64 and every result one
conversion back. Flag tensors (`dones`, `truncated`, `mask`, `episode_starts`, `last_dones`) of any
dtype count nonzero as set; `group_lengths`, `group_ids` and `sequence_lengths` take integer tensors, read
as int64 (floating ones are refused, never truncated); `out=` tensors must be floating.
Results carry no autograd history (the kernels are not differentiable; advantages are targets, not
functions of the parameters).

Submodules (imported on demand, each needing only torch and NumPy) hold drop-in replacements with the
names, signatures and results of the advantage functions of verl, TRL, OpenRLHF, Stable-Baselines3,
CleanRL and torchrl: see docs/trainers.md.
"""

from __future__ import annotations

try:
    import torch
except ImportError as error:  # pragma: no cover - exercised in a subprocess by the tests
    raise ImportError(
        "quorvale_rl_core_torch needs PyTorch, which is not installed (pip install torch); "
        "quorvale_rl_core itself works without it, on NumPy arrays"
    ) from error

import functools
import inspect
import operator

import numpy as np

import quorvale_rl_core as _core

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
]


_HALF = (torch.float16, torch.bfloat16)
_SHARED_FLAG_DTYPES = (
    torch.bool,
    torch.float32,
    torch.float64,
    torch.uint8,
    torch.int8,
    torch.int16,
    torch.int32,
    torch.int64,
)


def _floats(x, name, contiguous=False, float32=False):
    """A NumPy view of a floating tensor for the kernels; other objects unchanged.

    float64 CPU tensors pass as they are; with float32=True (the trainer-layer kernels, which read float32) so
    do float32 ones and bfloat16/float16 become float32; everything else becomes float64. One conversion at
    most, none in the cases that pass as they are.
    """
    if not isinstance(x, torch.Tensor):
        return x
    if not x.is_floating_point():
        raise TypeError(f"argument '{name}': expected a floating-point tensor, got {x.dtype}")
    if x.requires_grad:
        x = x.detach()
    native = x.dtype == torch.float64 or (float32 and x.dtype == torch.float32)
    if not native:
        x = x.to(device="cpu", dtype=torch.float32 if float32 and x.dtype in _HALF else torch.float64)
    elif x.device.type != "cpu":
        x = x.cpu()
    if contiguous and not x.is_contiguous():
        x = x.contiguous()
    return x.numpy()


def _kernel_floats(x, name):
    return _floats(x, name, float32=True)


def _flags(x, name):
    """A NumPy view of a flag tensor, nonzero meaning set: as it is for the dtypes NumPy shares, else bool."""
    if not isinstance(x, torch.Tensor):
        return x
    x = x.detach()
    if x.device.type != "cpu":
        x = x.cpu()
    if x.dtype in _SHARED_FLAG_DTYPES:
        return x.numpy()
    return (x != 0).numpy()


def _real(x):
    """A number parameter as a plain float, converted before any tensor is read: a `__float__` that changes a tensor
    then acts before the call reads it, never between. What float() refuses (and text, which the module refuses
    though float() reads it) passes unchanged, for the module's own error."""
    if type(x) is float or isinstance(x, (str, bytes, bytearray)):
        return x
    try:
        return float(x)
    except (TypeError, ValueError, OverflowError):
        return x


def _integer(x):
    """The same for an integer parameter (bool passes unchanged: the module decides about it)."""
    if type(x) in (int, bool):
        return x
    try:
        return operator.index(x)
    except TypeError:
        return x


def _refusal(name, expected, got):
    """The module's TypeError for an argument of the wrong kind, with the note it adds (also on Python 3.10)."""
    error = TypeError(f"argument '{name}': 'Tensor' object cannot be converted to 'PyArray<T, D>'")
    error.__notes__ = [f"{name}: expected {expected}; got {got}"]
    return error


def _int64s(x, name):
    if not isinstance(x, torch.Tensor):
        return x
    if x.is_floating_point() or x.is_complex() or x.dtype == torch.bool:
        raise _refusal(name, "an integer tensor (read as int64)", f"a {x.dtype} tensor")
    return x.detach().to(device="cpu", dtype=torch.int64).contiguous().numpy()


def _like(*items):
    """The converter of results back to tensors (NumPy out if no tensor): on the device of the first tensor, of the
    dtype every floating tensor shares, float64 when they differ (whatever their order)."""
    if len(items) == 1 and isinstance(items[0], torch.Tensor):  # the common case, without the walk below
        tensors = items
    else:
        tensors = list(_tensors(items))
    if not tensors:
        return lambda array: array
    floating = {t.dtype for t in tensors if t.is_floating_point()}
    dtype = floating.pop() if len(floating) == 1 else torch.float64
    device = tensors[0].device

    def convert(array):
        tensor = torch.from_numpy(array)
        if tensor.dtype == dtype and tensor.device == device:
            return tensor
        return tensor.to(device=device, dtype=dtype)

    return convert


def _tensors(items):
    for item in items:
        if isinstance(item, torch.Tensor):
            yield item
        elif isinstance(item, (list, tuple)):
            yield from _tensors(item)


def _out_views(out, count):
    """The kernels' out= for `out` they can write directly (CPU float32/float64 tensors, NumPy arrays), else None."""
    if out is None:
        return None
    items = (out,) if count == 1 else tuple(out)
    if len(items) != count or not all(isinstance(t, (torch.Tensor, np.ndarray)) for t in items):
        raise TypeError(f"argument 'out': expected {'a tensor' if count == 1 else f'a tuple of {count} tensors'}")
    views = []
    for item in items:
        if isinstance(item, torch.Tensor) and not item.is_floating_point():
            raise _refusal("out", "a floating-point tensor", f"a {item.dtype} tensor")
        if isinstance(item, np.ndarray):
            views.append(item)
        elif item.device.type == "cpu" and item.dtype in (torch.float32, torch.float64):
            views.append(item.detach().numpy())
        else:
            return None
    return views[0] if count == 1 else tuple(views)


def _deliver(results, out, views, convert):
    """Results as tensors: the `out` objects when given (filled here unless the kernel wrote them), else converted."""
    single = not isinstance(results, tuple)
    results = (results,) if single else results
    if out is None:
        delivered = tuple(convert(r) for r in results)
    else:
        delivered = (out,) if single else tuple(out)
        if views is None:
            for target, result in zip(delivered, results):
                if tuple(target.shape) != result.shape:
                    raise ValueError(f"argument 'out': expected shape {result.shape}, got {tuple(target.shape)}")
                if isinstance(target, np.ndarray):
                    np.copyto(target, result, casting="same_kind")
                else:
                    target.copy_(torch.from_numpy(result))
    return delivered[0] if single else delivered


def compute_group_advantages(rewards, baseline_type, normalize):
    out = _like(rewards)
    return out(_core.compute_group_advantages(_floats(rewards, "rewards"), baseline_type, normalize))


def compute_gae(rewards, values, gamma=0.99, gae_lambda=0.95):
    gamma, gae_lambda = _real(gamma), _real(gae_lambda)
    out = _like(rewards, values)
    return out(_core.compute_gae(_floats(rewards, "rewards", True), _floats(values, "values", True), gamma, gae_lambda))


def batch_compute_gae(all_rewards, all_values, gamma=0.99, gae_lambda=0.95):
    gamma, gae_lambda = _real(gamma), _real(gae_lambda)
    out = _like(all_rewards, all_values)
    rewards = [_floats(r, "all_rewards", True) for r in all_rewards]
    values = [_floats(v, "all_values", True) for v in all_values]
    return [out(a) for a in _core.batch_compute_gae(rewards, values, gamma, gae_lambda)]


def normalize_rewards(rewards, running_mean=0.0, running_var=1.0, count=0, epsilon=1e-8):
    running_mean, running_var, count, epsilon = _real(running_mean), _real(running_var), _integer(count), _real(epsilon)
    out = _like(rewards)
    normalized, mean, var, new_count = _core.normalize_rewards(
        _floats(rewards, "rewards", True), running_mean, running_var, count, epsilon
    )
    return out(normalized), mean, var, new_count


def clip_rewards_py(rewards, min_val, max_val):
    min_val, max_val = _real(min_val), _real(max_val)
    return _like(rewards)(_core.clip_rewards_py(_floats(rewards, "rewards", True), min_val, max_val))


def compute_gspo_importance_ratios(log_probs_new, log_probs_old, sequence_lengths):
    out = _like(log_probs_new, log_probs_old)
    return out(
        _core.compute_gspo_importance_ratios(
            _floats(log_probs_new, "log_probs_new", True),
            _floats(log_probs_old, "log_probs_old", True),
            _int64s(sequence_lengths, "sequence_lengths"),
        )
    )


def apply_gspo_clipping(ratios, advantages, clip_left=0.0003, clip_right=0.0004):
    clip_left, clip_right = _real(clip_left), _real(clip_right)
    out = _like(ratios, advantages)
    return out(
        _core.apply_gspo_clipping(
            _floats(ratios, "ratios", True), _floats(advantages, "advantages", True), clip_left, clip_right
        )
    )


def compute_ppo_surrogate(ratios, advantages, clip_epsilon=0.2):
    clip_epsilon = _real(clip_epsilon)
    out = _like(ratios, advantages)
    ratios, advantages = _floats(ratios, "ratios", True), _floats(advantages, "advantages", True)
    return out(_core.compute_ppo_surrogate(ratios, advantages, clip_epsilon))


def compute_reward_statistics(rewards):
    return _core.compute_reward_statistics(_floats(rewards, "rewards"))


def compute_padded_gae(
    rewards,
    values,
    next_values=None,
    dones=None,
    truncated=None,
    mask=None,
    gamma=0.99,
    gae_lambda=0.95,
    *,
    time_axis=1,
    mask_mode="cut",
    bootstrap=None,
    final_values=None,
    episode_starts=None,
    last_dones=None,
    out=None,
    whiten=None,
):
    gamma, gae_lambda, time_axis = _real(gamma), _real(gae_lambda), _integer(time_axis)
    convert = _like(rewards, values, next_values, bootstrap, final_values)
    views = _out_views(out, 2)
    arguments = (
        _kernel_floats(rewards, "rewards"),
        _kernel_floats(values, "values"),
        _kernel_floats(next_values, "next_values"),
        _flags(dones, "dones"),
        _flags(truncated, "truncated"),
        _flags(mask, "mask"),
        gamma,
        gae_lambda,
    )
    keywords = dict(
        time_axis=time_axis,
        mask_mode=mask_mode,
        bootstrap=_kernel_floats(bootstrap, "bootstrap"),
        final_values=_kernel_floats(final_values, "final_values"),
        episode_starts=_flags(episode_starts, "episode_starts"),
        last_dones=_flags(last_dones, "last_dones"),
    )
    results = _core.compute_padded_gae(*arguments, **keywords, out=views, whiten=whiten)
    return _deliver(tuple(results), out, views, convert)


def compute_grpo_advantages(
    rewards, baseline_type="mean", scale="group", *, std_ddof=0, epsilon=1e-8, std_floor=1e-8, out=None
):
    keywords = dict(std_ddof=_integer(std_ddof), epsilon=_real(epsilon), std_floor=_real(std_floor))
    views = _out_views(out, 1)
    rewards_view = _kernel_floats(rewards, "rewards")
    result = _core.compute_grpo_advantages(rewards_view, baseline_type, scale, **keywords, out=views)
    return _deliver(result, out, views, _like(rewards))


def compute_grpo_advantages_ragged(
    rewards,
    group_lengths=None,
    baseline_type="mean",
    scale="group",
    *,
    group_ids=None,
    std_ddof=0,
    epsilon=1e-8,
    std_floor=1e-8,
    out=None,
):
    statistics = dict(std_ddof=_integer(std_ddof), epsilon=_real(epsilon), std_floor=_real(std_floor))
    views = _out_views(out, 1)
    arguments = (_kernel_floats(rewards, "rewards"), _int64s(group_lengths, "group_lengths"), baseline_type, scale)
    keywords = dict(group_ids=_int64s(group_ids, "group_ids"), **statistics)
    result = _core.compute_grpo_advantages_ragged(*arguments, **keywords, out=views)
    return _deliver(result, out, views, _like(rewards))


def compute_masked_whitening(
    values,
    mask=None,
    *,
    std_ddof=1,
    count_epsilon=1e-8,
    epsilon=1e-8,
    shift_mean=True,
    unmasked="whitened",
    float32_counts=False,
    out=None,
):
    views = _out_views(out, 1)
    keywords = dict(
        std_ddof=std_ddof,
        count_epsilon=count_epsilon,
        epsilon=epsilon,
        shift_mean=shift_mean,
        unmasked=unmasked,
        float32_counts=float32_counts,
    )
    result = _core.compute_masked_whitening(
        _kernel_floats(values, "values"), _flags(mask, "mask"), **keywords, out=views
    )
    return _deliver(result, out, views, _like(values))


def compute_masked_returns(rewards, mask=None, gamma=0.99, *, mask_mode="cut", out=None):
    views = _out_views(out, 1)
    arguments = (_kernel_floats(rewards, "rewards"), _flags(mask, "mask"), gamma)
    result = _core.compute_masked_returns(*arguments, mask_mode=mask_mode, out=views)
    return _deliver(result, out, views, _like(rewards))


def broadcast_row_values(values, mask, *, out=None):
    views = _out_views(out, 1)
    result = _core.broadcast_row_values(_kernel_floats(values, "values"), _flags(mask, "mask"), out=views)
    return _deliver(result, out, views, _like(values))


def compute_kl_penalty(logprob, ref_logprob, estimator="k1", mask=None, *, rewards=None, beta=1.0, out=None):
    views = _out_views(out, 1)
    arguments = (_kernel_floats(logprob, "logprob"), _kernel_floats(ref_logprob, "ref_logprob"), estimator)
    keywords = dict(rewards=_kernel_floats(rewards, "rewards"), beta=beta)
    result = _core.compute_kl_penalty(*arguments, _flags(mask, "mask"), **keywords, out=views)
    return _deliver(result, out, views, _like(logprob, ref_logprob, rewards))


def _generic(name, kinds, float32, outputs):
    """The torch function of a module function from its parameter kinds (see _GENERATED), converting as the functions
    above do: numbers first, then floating arrays (read natively as float32 too when `float32`), flags, integer
    arrays and `out=`; array results become tensors like the floating arrays."""
    function = getattr(_core, name)
    signature = inspect.signature(function)
    kinds = dict(zip(signature.parameters, kinds.split()))
    numbers = {"float": _real, "int": _integer}
    floating, contiguous = ("vec", "mat", "seq", "veclist"), ("vec", "veclist")  # the nine read vec contiguous

    def array(x, parameter, kind):
        if kind in ("flags", "flagvec"):
            return _flags(x, parameter)
        if kind == "ivec":
            return _int64s(x, parameter)
        if kind == "veclist":
            return [_floats(item, parameter, True) for item in x]
        return _kernel_floats(x, parameter) if float32 else _floats(x, parameter, kind in contiguous)

    def wrapper(*args, **kwargs):
        bound = signature.bind(*args, **kwargs)
        values = bound.arguments
        for parameter, kind in kinds.items():
            if parameter in values and kind in numbers:
                values[parameter] = numbers[kind](values[parameter])
        convert = _like(*(values.get(p) for p, kind in kinds.items() if kind in floating))
        out = values.get("out")
        views = _out_views(out, outputs) if "out" in values else None
        for parameter, kind in kinds.items():
            if parameter in values and kind in ("flags", "flagvec", "ivec", *floating):
                values[parameter] = array(values[parameter], parameter, kind)
        if "out" in values:
            values["out"] = views
        result = function(*bound.args, **bound.kwargs)
        if "out" in kinds.values():
            return _deliver(tuple(result) if outputs > 1 else result, out, views, convert)
        if isinstance(result, np.ndarray):
            return convert(result)
        if isinstance(result, (tuple, list)):
            return type(result)(convert(r) if isinstance(r, np.ndarray) else r for r in result)
        return result

    functools.update_wrapper(wrapper, function)
    wrapper.__module__ = __name__
    return wrapper


# Written by .ci/function_lists.py from tests/registry.py: the adapted functions with no def above.
_GENERATED: dict[str, tuple[str, bool, int]] = {}
# End of the written table.
globals().update({name: _generic(name, *row) for name, row in _GENERATED.items()})
