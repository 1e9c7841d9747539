"""torchrl's `generalized_advantage_estimate` (`torchrl.objectives.value.functional`), computed by quorvale_rl_core.

torchrl's conventions kept: tensors of shape [*batch, time, *features] with time at `time_dim` (-2 by default, so
(batch, time, 1)); `done` cuts the recursion (truncation or termination), `terminated` also drops the bootstrap
(`terminated` defaults to `done`; a step terminated but not done drops the bootstrap and keeps the carry, as torchrl
computes it); results `(advantage, value_target)` in `next_state_value`'s dtype on `state_value`'s device.
torchrl multiplies `gamma` and `lmbda * gamma` by integer masks, which rounds Python floats to torch's default dtype
(float32) even for float64 tensors: the same rounded factors are used here, so float64 results agree to the bit.
`gamma` and `lmbda` may be tensors of the data's shape, one factor per step (torchrl's `GAE` module makes them from
`steps_to_next_obs`): where they are the same at every step the kernel runs; where they vary, torchrl's recursion runs
in torch, one time step at a time (the kernels take one discount). `install()` puts the function in place of the two
that torchrl's `GAE` value-estimator module calls.
"""

from __future__ import annotations

import math

import torch

from . import compute_padded_gae

__all__ = ["generalized_advantage_estimate", "install"]

_SHAPE_ERROR = "All input tensors (value, reward and done states) must share a unique shape."


def _factors(gamma, lmbda, shape, device):
    """The discount and the decay torchrl effectively applies (gamma, and lmbda * gamma, times an int32 mask), or
    None when per-step factors differ between steps."""
    per_step = any(isinstance(factor, torch.Tensor) and factor.numel() > 1 for factor in (gamma, lmbda))
    ones = torch.ones(shape, dtype=torch.int32, device=device) if per_step else torch.ones(1, dtype=torch.int32)
    discounts, decays = (gamma * ones).reshape(-1), (lmbda * gamma * ones).reshape(-1)
    if per_step and not (bool((discounts == discounts[0]).all()) and bool((decays == decays[0]).all())):
        return None
    discount, decay = float(discounts[0]), float(decays[0])
    if discount == 0.0:
        return 0.0, 0.0
    # The kernel forms gamma * lambda itself: pick the lambda whose product with the discount is torchrl's decay.
    lam = decay / discount
    for candidate in (lam, math.nextafter(lam, math.inf), math.nextafter(lam, -math.inf)):
        if discount * candidate == decay:
            return discount, candidate
    return discount, lam


def _stepwise(gamma, lmbda, state_value, next_state_value, reward, done, terminated, time_dim):
    """torchrl's recursion with factors that vary by step: in torch, one time step at a time, torchrl's roundings."""
    delta = reward + (gamma * (~terminated).int()) * next_state_value - state_value
    decay = (lmbda * gamma * (~done).int()).movedim(time_dim, -1)
    delta = delta.movedim(time_dim, -1)
    advantage = torch.empty(delta.shape, dtype=next_state_value.dtype, device=state_value.device)
    carried = 0
    for t in reversed(range(delta.shape[-1])):
        carried = advantage[..., t] = delta[..., t] + carried * decay[..., t]
    advantage = advantage.movedim(-1, time_dim)
    return advantage, advantage + state_value


def generalized_advantage_estimate(
    gamma, lmbda, state_value, next_state_value, reward, done, terminated=None, *, time_dim=-2
):
    if terminated is None:
        terminated = done.clone()
    if not (next_state_value.shape == state_value.shape == reward.shape == done.shape == terminated.shape):
        raise RuntimeError(_SHAPE_ERROR)
    moved = reward.movedim(time_dim, -1).shape
    steps = moved[-1]

    def rows(tensor):  # (rows, time): a view where the layout allows it
        return tensor.movedim(time_dim, -1).reshape(-1, steps)

    done, terminated = done.bool(), terminated.bool()
    factors = _factors(gamma, lmbda, reward.shape, reward.device)
    if factors is None:
        return _stepwise(gamma, lmbda, state_value, next_state_value, reward, done, terminated, time_dim)
    discount, lam = factors
    next_values, dones = next_state_value, terminated
    if bool((terminated & ~done).any()):
        next_values, dones = torch.where(terminated, 0.0, next_state_value), None
    advantage, value_target = compute_padded_gae(
        rows(reward),
        rows(state_value),
        rows(next_values),
        None if dones is None else rows(dones),
        rows(done),
        gamma=discount,
        gae_lambda=lam,
    )

    def back(tensor):
        tensor = tensor.reshape(moved).movedim(-1, time_dim)
        return tensor.to(device=state_value.device, dtype=next_state_value.dtype)

    return back(advantage), back(value_target)


def install():
    """The drop-in in place of the GAE functions torchrl's `GAE` value-estimator module calls, in this process.

    The module calls the names it imported into `torchrl.objectives.value.advantages`:
    `vec_generalized_advantage_estimate` with `vectorized=True` (and always in `value_estimate`),
    `generalized_advantage_estimate` otherwise (torchrl 0.14 documents True as the default but leaves it None, which
    takes this one). Both become this module's function,
    which computes torchrl's recursion (the vectorised function evaluates it differently, within float precision).
    Installing twice is harmless.
    """
    from torchrl.objectives.value import advantages

    advantages.generalized_advantage_estimate = generalized_advantage_estimate
    advantages.vec_generalized_advantage_estimate = generalized_advantage_estimate
