"""The floor of each trainer drop-in: a hand-written numba loop with exactly the drop-in's semantics, as a user who
knows numba would write it for float32 (batch, tokens) tensors and an integer mask (double-precision arithmetic,
each result rounded once to float32, as the kernels). Rows run in `prange`; `numba.set_num_threads` sets how many
threads share them. bench/trainers.py times each drop-in against its floor; drop-in / floor is the cost of going
through the drop-in (conversions, separate passes, allocation) over the least a loop needs.

- verl GAE: masked (tool-observation) steps skipped, the carried advantage and next value passing through them,
  returns = advantages + values, then the advantages whitened with the mean and unbiased variance of the kept ones.
- verl REINFORCE++: discounted returns carried through masked steps (0.0 at them), whitened over the kept tokens,
  times the mask.
- verl GRPO, RLOO and REINFORCE++ with baseline (whitened from per-row counts): per-row score sums, group statistics over the rows of each group (consecutive labels
  0..G-1 given per row), the per-row advantage times the mask.
- OpenRLHF GAE: masked steps cut (values and rewards times the mask, verl-free semantics), returns.
"""

from __future__ import annotations

import math

import numpy as np
from numba import njit, prange


@njit(cache=True, parallel=True)
def _row_sums_of_squares(x, mask, mean):
    rows, steps = x.shape
    partial = np.zeros(rows)
    for b in prange(rows):
        s = 0.0
        for t in range(steps):
            if mask[b, t] != 0:
                d = np.float64(x[b, t]) - mean
                s += d * d
        partial[b] = s
    return partial.sum()


@njit(cache=True, parallel=True)
def _whiten(x, mask, mean, scale, times_mask, out):
    rows, steps = x.shape
    for b in prange(rows):
        for t in range(steps):
            w = (np.float64(x[b, t]) - mean) * scale
            out[b, t] = w * mask[b, t] if times_mask else w


@njit(cache=True, parallel=True)
def _verl_gae_pass(rewards, values, mask, gamma, lam, advantages, returns, sums, counts):
    rows, steps = rewards.shape
    for b in prange(rows):
        last, next_value, s, n = 0.0, 0.0, 0.0, 0
        for t in range(steps - 1, -1, -1):
            if mask[b, t] != 0:
                v = np.float64(values[b, t])
                last = (rewards[b, t] + gamma * next_value - v) + gamma * lam * last
                next_value = v
                a = np.float32(last)
                s += a
                n += 1
            else:
                a = np.float32(last)
            advantages[b, t] = a
            returns[b, t] = last + values[b, t]
        sums[b], counts[b] = s, n


def verl_gae(rewards, values, mask, gamma, lam):
    rows, steps = rewards.shape
    advantages, returns = np.empty_like(rewards), np.empty_like(rewards)
    sums, counts = np.zeros(rows), np.zeros(rows, np.int64)
    _verl_gae_pass(rewards, values, mask, gamma, lam, advantages, returns, sums, counts)
    count = counts.sum()
    mean = sums.sum() / count
    variance = _row_sums_of_squares(advantages, mask, mean) / count * (count / (count - 1))
    _whiten(advantages, mask, mean, 1.0 / math.sqrt(variance + 1e-8), False, advantages)
    return advantages, returns


@njit(cache=True, parallel=True)
def _returns_pass(rewards, mask, gamma, returns, sums, counts):
    rows, steps = rewards.shape
    for b in prange(rows):
        running, s, n = 0.0, 0.0, 0
        for t in range(steps - 1, -1, -1):
            if mask[b, t] != 0:
                running = rewards[b, t] + gamma * running
                r = np.float32(running)
                s += r
                n += 1
            else:
                r = np.float32(0.0)
            returns[b, t] = r
        sums[b], counts[b] = s, n


def verl_reinforce_plus_plus(rewards, mask, gamma):
    rows = rewards.shape[0]
    returns, advantages = np.empty_like(rewards), np.empty_like(rewards)
    sums, counts = np.zeros(rows), np.zeros(rows, np.int64)
    _returns_pass(rewards, mask, gamma, returns, sums, counts)
    count = counts.sum()
    mean = sums.sum() / count
    variance = _row_sums_of_squares(returns, mask, mean) / count * (count / (count - 1))
    _whiten(returns, mask, mean, 1.0 / math.sqrt(variance + 1e-8), True, advantages)
    return advantages, returns


@njit(cache=True, parallel=True)
def _row_scores(rewards):
    rows, steps = rewards.shape
    scores = np.empty(rows)
    for b in prange(rows):
        s = np.float32(0.0)
        for t in range(steps):
            s += rewards[b, t]
        scores[b] = s
    return scores


@njit(cache=True)
def _group_scalars(scores, labels, groups, mode, epsilon):
    """mode 0: GRPO (mean, unbiased std + epsilon; one member: score / (1 + epsilon)); 1: RLOO (minus the others'
    mean; one member: the score); 2: minus the group mean (one member: the score)."""
    n = scores.size
    total, squares, count = np.zeros(groups), np.zeros(groups), np.zeros(groups, np.int64)
    for i in range(n):
        total[labels[i]] += scores[i]
        count[labels[i]] += 1
    for i in range(n):
        d = scores[i] - total[labels[i]] / count[labels[i]]
        squares[labels[i]] += d * d
    out = np.empty(n)
    for i in range(n):
        g, c = labels[i], count[labels[i]]
        if mode == 0:
            out[i] = scores[i] / (1.0 + epsilon) if c == 1 else (
                (scores[i] - total[g] / c) / (math.sqrt(squares[g] / (c - 1)) + epsilon))
        elif mode == 1:
            out[i] = scores[i] if c == 1 else scores[i] - (total[g] - scores[i]) / (c - 1)
        else:
            out[i] = scores[i] if c == 1 else scores[i] - total[g] / c
    return out


@njit(cache=True, parallel=True)
def _spread(scalars, mask, out):
    rows, steps = mask.shape
    for b in prange(rows):
        v = np.float32(scalars[b])
        for t in range(steps):
            out[b, t] = v * mask[b, t]


def verl_outcome(rewards, mask, labels, groups, mode, epsilon=1e-6):
    scalars = _group_scalars(_row_scores(rewards), labels, groups, mode, epsilon)
    out = np.empty(mask.shape, np.float32)
    _spread(scalars, mask, out)
    return out, out


@njit(cache=True, parallel=True)
def _row_counts(mask):
    rows, steps = mask.shape
    counts = np.zeros(rows)
    for b in prange(rows):
        n = 0
        for t in range(steps):
            n += mask[b, t] != 0
        counts[b] = n
    return counts


def verl_reinforce_plus_plus_baseline(rewards, mask, labels, groups, epsilon=1e-6):
    """Minus the group mean, tiled over the mask, whitened over the kept tokens (per row: value times count), times
    the mask."""
    scalars = _group_scalars(_row_scores(rewards), labels, groups, 2, epsilon)
    counts = _row_counts(mask)
    count = counts.sum()
    mean = (scalars * counts).sum() / count
    variance = (((scalars - mean) ** 2) * counts).sum() / count * (count / (count - 1))
    out = np.empty(mask.shape, np.float32)
    _spread((scalars - mean) / math.sqrt(variance + 1e-8), mask, out)
    return out, out


@njit(cache=True, parallel=True)
def _cut_gae(rewards, values, mask, gamma, lam, advantages, returns):
    rows, steps = rewards.shape
    for b in prange(rows):
        last, next_value = 0.0, 0.0
        for t in range(steps - 1, -1, -1):
            m = np.float64(mask[b, t])
            v = np.float64(values[b, t]) * m
            last = (rewards[b, t] * m + gamma * next_value - v) + gamma * lam * last
            next_value = v
            advantages[b, t] = last
            returns[b, t] = last + v


def openrlhf_gae(values, rewards, mask, gamma, lam):
    advantages, returns = np.empty_like(rewards), np.empty_like(rewards)
    _cut_gae(rewards, values, mask, gamma, lam, advantages, returns)
    return advantages, returns


def warm():
    """Compile every floor once (numba caches the machine code next to this file)."""
    r, v = np.ones((2, 4), np.float32), np.ones((2, 4), np.float32)
    m = np.ones((2, 4), np.int64)
    verl_gae(r, v, m, 1.0, 0.95)
    verl_reinforce_plus_plus(r, m, 0.99)
    verl_outcome(r, m, np.array([0, 0]), 1, 0)
    verl_outcome(r, m, np.array([0, 0]), 1, 1)
    verl_reinforce_plus_plus_baseline(r, m, np.array([0, 0]), 1)
    openrlhf_gae(v, r, m, 1.0, 0.95)
