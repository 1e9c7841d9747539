"""torchrl's `generalized_advantage_estimate` (`torchrl.objectives.value.functional`), computed by quorvale_rl_core.

torchrl's conventions kept: tensors of shape [*batch, time, *features] with time at `time_dim` (-2 by default, so
(batch, time, 1)); `done` cuts the recursion (truncation or termination), `terminated` also drops the bootstrap
(`terminated` defaults to `done`; a step terminated but not done drops the bootstrap and keeps the carry, as torchrl
computes it); results `(advantage, value_target)` in `next_state_value`'s dtype on `state_value`'s device.
torchrl multiplies `gamma` and `lmbda * gamma` by integer masks, which rounds Python floats to torch's default dtype
(float32) even for float64 tensors: the same rounded factors are used here, so float64 results agree to the bit.
"""

from __future__ import annotations

import math

import torch

from . import compute_padded_gae

__all__ = ["generalized_advantage_estimate"]

_SHAPE_ERROR = "All input tensors (value, reward and done states) must share a unique shape."


def _factors(gamma, lmbda):
    """The discount and the decay torchrl effectively applies (gamma, and lmbda * gamma, times an int32 mask)."""
    ones = torch.ones(1, dtype=torch.int32)
    discount = float((gamma * ones)[0])
    decay = float((lmbda * gamma * ones)[0])
    if discount == 0.0:
        return 0.0, 0.0
    # The kernel forms gamma * lambda itself: pick the lambda whose product with the discount is torchrl's decay.
    lam = decay / discount
    for candidate in (lam, math.nextafter(lam, math.inf), math.nextafter(lam, -math.inf)):
        if discount * candidate == decay:
            return discount, candidate
    return discount, lam


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

    discount, lam = _factors(gamma, lmbda)
    done, terminated = done.bool(), terminated.bool()
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
