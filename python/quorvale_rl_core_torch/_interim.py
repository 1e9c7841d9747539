"""The trainer-layer keywords on a build whose kernels read float64 arrays alone.

Such a build has neither float32 inputs nor the keywords `time_axis`, `mask_mode`, `bootstrap`, `final_values`,
`episode_starts`, `last_dones`, `group_ids`, `std_ddof`, `epsilon`, `std_floor`. Here each keyword is rewritten into
the arrays that build reads (a next-value matrix, done flags, contiguous groups, a cut mask over compacted rows), in
float64, and the kernels do the recursion and the baselines. Results are float64; the adapter converts them. With the
default keywords the arrays go to the kernel untouched.
"""

from __future__ import annotations

import numpy as np


def _f64(x):
    return None if x is None else np.asarray(x, dtype=np.float64)


def _set(x):
    return None if x is None else np.asarray(x) != 0


def padded_gae(
    core,
    rewards,
    values,
    next_values,
    dones,
    truncated,
    mask,
    gamma,
    gae_lambda,
    *,
    time_axis,
    mask_mode,
    bootstrap,
    final_values,
    episode_starts,
    last_dones,
):
    if time_axis not in (0, 1):
        raise ValueError(f"time_axis must be 0 or 1, got {time_axis!r}")
    if mask_mode not in ("cut", "skip"):
        raise ValueError(f"mask_mode must be 'cut' or 'skip', got {mask_mode!r}")
    turn = (lambda a: a) if time_axis == 1 else (lambda a: None if a is None else np.asarray(a).T)
    rewards, values, next_values, final_values = (_f64(turn(a)) for a in (rewards, values, next_values, final_values))
    dones, truncated, mask, starts = (_set(turn(a)) for a in (dones, truncated, mask, episode_starts))
    rows, steps = rewards.shape
    if starts is not None or last_dones is not None:
        ends = np.zeros((rows, steps), bool)
        if starts is not None:
            ends[:, :-1] = starts[:, 1:]
        if last_dones is not None:
            ends[:, -1] = _set(last_dones).reshape(rows)
        dones = ends if dones is None else dones | ends
    boot = np.zeros(rows) if bootstrap is None else _f64(bootstrap).reshape(rows)
    order = None
    if mask is not None and mask_mode == "skip":
        # Skipped steps pass the carry and the next value through: the recursion over each row's kept steps alone.
        order = np.argsort(~mask, axis=1, kind="stable")
        kept = mask.sum(axis=1)
        gather = lambda a: None if a is None else np.take_along_axis(a, order, axis=1)  # noqa: E731
        rewards, values, next_values, final_values, dones, truncated = (
            gather(a) for a in (rewards, values, next_values, final_values, dones, truncated)
        )
        mask = np.arange(steps)[None, :] < kept[:, None]
    if next_values is None:
        next_values = np.empty((rows, steps))
        next_values[:, :-1] = values[:, 1:]
        next_values[:, -1] = boot
        if mask is not None:
            before_cut = np.zeros((rows, steps), bool)
            before_cut[:, :-1] = ~mask[:, 1:]
            next_values = np.where(before_cut, boot[:, None], next_values)
    if final_values is not None and truncated is not None:
        next_values = np.where(truncated, final_values, next_values)
    advantages, returns = core.compute_padded_gae(
        rewards, values, next_values, dones, truncated, mask, gamma, gae_lambda
    )  # noqa: E501
    if order is not None:
        scattered = np.zeros((2, rows, steps))
        np.put_along_axis(scattered[0], order, advantages, axis=1)
        np.put_along_axis(scattered[1], order, returns, axis=1)
        advantages, returns = scattered[0], scattered[1]  # compacted slots past a row's kept steps hold 0.0
    if time_axis == 0:
        advantages, returns = advantages.T, returns.T
    return advantages, returns


def _standardise(advantages, lengths, std_ddof, epsilon, std_floor, scale):
    """(a - mu) / (sigma + epsilon) per group (or over the batch) where sigma > std_floor; one-member groups kept."""
    if scale == "none":
        return advantages
    spans = [(0, advantages.size)] if scale == "batch" else []
    if scale == "group":
        ends = np.cumsum(lengths)
        spans = list(zip(ends - lengths, ends))
    out = advantages.copy()
    for start, end in spans:
        a = advantages[start:end]
        if a.size < 2:
            continue
        mu = 0.0
        for x in a:
            mu = mu + x
        mu = mu / a.size
        ss = 0.0
        for x in a:
            ss = ss + (x - mu) * (x - mu)
        sigma = (ss / (a.size - std_ddof)) ** 0.5
        if sigma > std_floor:
            out[start:end] = (a - mu) / (sigma + epsilon)
    return out


def _defaults(std_ddof, epsilon, std_floor):
    return std_ddof == 0 and epsilon == 1e-8 and std_floor == 1e-8


def grpo(core, rewards, baseline_type, scale, *, std_ddof, epsilon, std_floor):
    if _defaults(std_ddof, epsilon, std_floor):
        return core.compute_grpo_advantages(rewards, baseline_type, scale)
    matrix = _f64(rewards)
    rows, size = matrix.shape
    flat = np.ascontiguousarray(matrix).reshape(-1)
    lengths = np.full(rows, size, np.int64)
    return grpo_ragged(
        core,
        flat,
        lengths,
        baseline_type,
        scale,
        group_ids=None,
        std_ddof=std_ddof,
        epsilon=epsilon,
        std_floor=std_floor,
    ).reshape(rows, size)


def grpo_ragged(core, rewards, group_lengths, baseline_type, scale, *, group_ids, std_ddof, epsilon, std_floor):
    if (group_lengths is None) == (group_ids is None):
        raise TypeError("give exactly one of group_lengths and group_ids")
    rewards = _f64(rewards)
    order = None
    if group_ids is not None:
        ids = np.asarray(group_ids, dtype=np.int64)
        order = np.argsort(ids, kind="stable")
        _, group_lengths = np.unique(ids[order], return_counts=True)
        group_lengths = group_lengths.astype(np.int64)
        rewards = rewards[order]
    if _defaults(std_ddof, epsilon, std_floor):
        result = core.compute_grpo_advantages_ragged(rewards, group_lengths, baseline_type, scale)
    else:
        centred = core.compute_grpo_advantages_ragged(rewards, group_lengths, baseline_type, "none")
        result = _standardise(centred, np.asarray(group_lengths), std_ddof, epsilon, std_floor, scale)
    if order is not None:
        unsorted = np.empty_like(result)
        unsorted[order] = result
        result = unsorted
    return result
