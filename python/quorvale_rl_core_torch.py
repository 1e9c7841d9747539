"""PyTorch tensors in, PyTorch tensors out: the functions of quorvale_rl_core for torch code.

Each function takes tensors of any floating dtype on any device (Python lists and NumPy arrays are
passed through to quorvale_rl_core unchanged) and returns tensors of the dtype and device of its first
tensor argument. A contiguous CPU float64 tensor reaches the kernel without a copy, and so does any
strided CPU float64 tensor where the kernel reads strides (the matrix functions); every other tensor
costs one conversion in (`tensor.to("cpu", torch.float64)`) and every result one conversion out.
Flag tensors (`dones`, `truncated`, `mask`) of any dtype count nonzero as true; `group_lengths` and
`sequence_lengths` are read as int64. Results carry no autograd history (the kernels are not
differentiable; advantages are targets, not functions of the parameters).
"""

from __future__ import annotations

try:
    import torch
except ImportError as error:  # pragma: no cover - exercised in a subprocess by the tests
    raise ImportError(
        "quorvale_rl_core_torch needs PyTorch, which is not installed (pip install torch); "
        "quorvale_rl_core itself works without it, on NumPy arrays"
    ) from error

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
]


def _floats(x, name, contiguous=False):
    """A float64 NumPy view of a floating tensor (no copy for CPU float64); other objects unchanged."""
    if not isinstance(x, torch.Tensor):
        return x
    if not x.is_floating_point():
        raise TypeError(f"argument '{name}': expected a floating-point tensor, got {x.dtype}")
    x = x.detach()
    if x.device.type != "cpu" or x.dtype != torch.float64:
        x = x.to(device="cpu", dtype=torch.float64)
    if contiguous and not x.is_contiguous():
        x = x.contiguous()
    return x.numpy()


def _flags(x, name):
    """A NumPy bool view of a flag tensor of any dtype, nonzero meaning true (no copy for CPU bool)."""
    if not isinstance(x, torch.Tensor):
        return x
    x = x.detach()
    if x.dtype != torch.bool:
        x = x != 0
    return x.cpu().numpy()


def _int64s(x):
    if not isinstance(x, torch.Tensor):
        return x
    return x.detach().to(device="cpu", dtype=torch.int64).contiguous().numpy()


def _like(reference):
    """The converter of results back to the dtype and device of `reference` (NumPy out if no tensor)."""
    if not isinstance(reference, torch.Tensor):
        return lambda array: array
    dtype = reference.dtype if reference.is_floating_point() else torch.float64
    device = reference.device

    def convert(array):
        tensor = torch.from_numpy(array)
        if tensor.dtype == dtype and tensor.device == device:
            return tensor
        return tensor.to(device=device, dtype=dtype)

    return convert


def _first_tensor(*items):
    for item in items:
        if isinstance(item, torch.Tensor):
            return item
        if isinstance(item, (list, tuple)):
            for inner in item:
                if isinstance(inner, torch.Tensor):
                    return inner
    return None


def compute_group_advantages(rewards, baseline_type, normalize):
    out = _like(rewards)
    return out(_core.compute_group_advantages(_floats(rewards, "rewards"), baseline_type, normalize))


def compute_gae(rewards, values, gamma=0.99, gae_lambda=0.95):
    out = _like(_first_tensor(rewards, values))
    return out(_core.compute_gae(_floats(rewards, "rewards", True), _floats(values, "values", True), gamma, gae_lambda))


def batch_compute_gae(all_rewards, all_values, gamma=0.99, gae_lambda=0.95):
    out = _like(_first_tensor(all_rewards, all_values))
    rewards = [_floats(r, "all_rewards", True) for r in all_rewards]
    values = [_floats(v, "all_values", True) for v in all_values]
    return [out(a) for a in _core.batch_compute_gae(rewards, values, gamma, gae_lambda)]


def normalize_rewards(rewards, running_mean=0.0, running_var=1.0, count=0, epsilon=1e-8):
    out = _like(rewards)
    normalized, mean, var, new_count = _core.normalize_rewards(
        _floats(rewards, "rewards", True), running_mean, running_var, count, epsilon
    )
    return out(normalized), mean, var, new_count


def clip_rewards_py(rewards, min_val, max_val):
    return _like(rewards)(_core.clip_rewards_py(_floats(rewards, "rewards", True), min_val, max_val))


def compute_gspo_importance_ratios(log_probs_new, log_probs_old, sequence_lengths):
    out = _like(_first_tensor(log_probs_new, log_probs_old))
    return out(
        _core.compute_gspo_importance_ratios(
            _floats(log_probs_new, "log_probs_new", True),
            _floats(log_probs_old, "log_probs_old", True),
            _int64s(sequence_lengths),
        )
    )


def apply_gspo_clipping(ratios, advantages, clip_left=0.0003, clip_right=0.0004):
    out = _like(_first_tensor(ratios, advantages))
    return out(
        _core.apply_gspo_clipping(
            _floats(ratios, "ratios", True), _floats(advantages, "advantages", True), clip_left, clip_right
        )
    )


def compute_ppo_surrogate(ratios, advantages, clip_epsilon=0.2):
    out = _like(_first_tensor(ratios, advantages))
    ratios, advantages = _floats(ratios, "ratios", True), _floats(advantages, "advantages", True)
    return out(_core.compute_ppo_surrogate(ratios, advantages, clip_epsilon))


def compute_reward_statistics(rewards):
    return _core.compute_reward_statistics(_floats(rewards, "rewards"))


def compute_padded_gae(
    rewards, values, next_values, dones=None, truncated=None, mask=None, gamma=0.99, gae_lambda=0.95
):
    out = _like(_first_tensor(rewards, values, next_values))
    advantages, returns = _core.compute_padded_gae(
        _floats(rewards, "rewards"),
        _floats(values, "values"),
        _floats(next_values, "next_values"),
        _flags(dones, "dones"),
        _flags(truncated, "truncated"),
        _flags(mask, "mask"),
        gamma,
        gae_lambda,
    )
    return out(advantages), out(returns)


def compute_grpo_advantages(rewards, baseline_type="mean", scale="group"):
    return _like(rewards)(_core.compute_grpo_advantages(_floats(rewards, "rewards"), baseline_type, scale))


def compute_grpo_advantages_ragged(rewards, group_lengths, baseline_type="mean", scale="group"):
    out = _like(rewards)
    return out(
        _core.compute_grpo_advantages_ragged(_floats(rewards, "rewards"), _int64s(group_lengths), baseline_type, scale)
    )
