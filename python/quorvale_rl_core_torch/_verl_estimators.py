"""verl's estimators beyond the first six (verl 0.9.1's `core_algos`), with verl's names, signatures and results,
computed by quorvale_rl_core. `ESTIMATORS` maps verl's registry names to them for `verl.register()`.
"""

from __future__ import annotations

import numpy as np
import torch

from . import compute_masked_returns
from ._verl_shared import _group_labels, _outcome, _spread, _whiten_spread

__all__ = [
    "ESTIMATORS",
    "compute_gdpo_outcome_advantage",
    "compute_gpg_outcome_advantage",
    "compute_grpo_passk_outcome_advantage",
    "compute_multi_turn_optimal_token_baseline_advantage",
    "compute_opo_outcome_advantage",
    "compute_optimal_token_baseline_advantage",
    "compute_remax_outcome_advantage",
    "compute_rloo_vectorized_outcome_advantage",
]


def compute_remax_outcome_advantage(token_level_rewards, reward_baselines, response_mask, config=None, **kwargs):
    """Undiscounted returns of the masked rewards (masked steps add 0.0, the sum runs on), minus the per-sample
    baseline on the kept tokens."""

    with torch.no_grad():
        returns = compute_masked_returns(token_level_rewards, response_mask, 1.0, mask_mode="zero")
        advantages = returns - _spread(reward_baselines, response_mask)
    return advantages, returns


def compute_rloo_vectorized_outcome_advantage(
    token_level_rewards, response_mask, index, epsilon=1e-6, config=None, **kwargs
):
    """verl's vectorised RLOO: the same advantages as `compute_rloo_outcome_advantage`, a one-member group's 0.0."""

    with torch.no_grad():
        scores = token_level_rewards.sum(dim=-1)
        scalars = _outcome(scores, index, "leave_one_out", "none", epsilon, torch.zeros_like)
        advantages = _spread(scalars, response_mask)
    return advantages, advantages


def compute_gpg_outcome_advantage(
    token_level_rewards, response_mask, index, epsilon=1e-6, f_norm=1.0, alpha=1.0, config=None, **kwargs
):
    """GPG: alpha' * (score - group mean) / f_norm, alpha' = batch size / number of nonzero scores (at least 1); a
    one-member group's mean is 0 (verl recomputes alpha from the scores, whatever `alpha` is passed)."""

    with torch.no_grad():
        scores = token_level_rewards.sum(dim=-1)
        factor = scores.shape[0] / torch.count_nonzero(scores).clamp(min=1)
        centred = _outcome(scores, index, "mean", "none", epsilon, lambda s: s)
        advantages = _spread(factor * centred / f_norm, response_mask)
    return advantages, advantages


def compute_opo_outcome_advantage(token_level_rewards, response_mask, index, epsilon=1e-6, config=None, **kwargs):
    """OPO: score minus the group's length-weighted mean score, sum(length * score) / sum(length), lengths being the
    mask's row sums; a one-member group's baseline is 0."""

    with torch.no_grad():
        scores = token_level_rewards.sum(dim=-1)
        if scores.numel() == 0:
            return _spread(scores, response_mask), _spread(scores, response_mask)
        lengths = response_mask.sum(dim=-1)
        labels = _group_labels(index)
        groups, rows = int(labels.max()) + 1, torch.from_numpy(labels).to(scores.device)
        weighted = lengths * scores
        totals = torch.zeros(groups, dtype=weighted.dtype).index_add_(0, rows, weighted)
        baselines = totals / torch.zeros(groups, dtype=lengths.dtype).index_add_(0, rows, lengths)
        alone = torch.from_numpy(np.bincount(labels)[labels] == 1).to(scores.device)
        advantages = _spread(torch.where(alone, scores, scores - baselines[rows]), response_mask)
    return advantages, advantages


def compute_grpo_passk_outcome_advantage(
    token_level_rewards, response_mask, index, epsilon=1e-6, norm_adv_by_std_in_grpo=True, config=None, **kwargs
):
    """Pass@k GRPO: only each group's best response gets an advantage, best minus second best score, divided by the
    group's unbiased std plus `epsilon` when the config's `norm_adv_by_std_in_grpo` (default true) says so (verl reads
    it from the config, whatever the argument). Every group needs two members (ValueError, as verl)."""

    assert config is not None
    norm_adv_by_std_in_grpo = config.get("norm_adv_by_std_in_grpo", True)
    with torch.no_grad():
        scores = token_level_rewards.sum(dim=-1)
        labels = _group_labels(index)
        counts = np.bincount(labels, minlength=1)
        if scores.numel() and counts.min() < 2:
            first = int(np.flatnonzero(counts[labels] < 2)[0])
            raise ValueError(
                f"Pass@k requires at least 2 samples per group. Got {counts[labels[first]]} for group {index[first]}."
            )
        advantages = torch.zeros_like(scores)
        if scores.numel():
            # Each group's rows by descending score (ties in any order: they give the best a 0.0 advantage anyway).
            order = np.lexsort((-scores.detach().cpu().double().numpy(), labels))
            starts = np.flatnonzero(np.r_[True, labels[order][1:] != labels[order][:-1]])
            best, second = torch.from_numpy(order[starts]), torch.from_numpy(order[starts + 1])
            advantage = scores[best] - scores[second]
            if norm_adv_by_std_in_grpo:
                advantage = advantage / (_group_std(scores, labels)[labels[order[starts]]] + epsilon)
            advantages[best] = advantage
        advantages = _spread(advantages, response_mask)
    return advantages, advantages


def _group_std(scores, labels):
    """Each group's unbiased standard deviation (two passes: the mean, then the squared differences)."""
    rows, counts = torch.from_numpy(labels), torch.from_numpy(np.bincount(labels)).to(scores.dtype)
    means = torch.zeros(len(counts), dtype=scores.dtype).index_add_(0, rows, scores) / counts
    squares = torch.zeros_like(means).index_add_(0, rows, (scores - means[rows]) ** 2)
    return torch.sqrt(squares / (counts - 1))


def compute_gdpo_outcome_advantage(
    token_level_rewards,
    response_mask,
    index,
    epsilon=1e-6,
    norm_adv_by_std_in_grpo=True,
    config=None,
    non_tensor_batch=None,
    batch=None,
    **kwargs,
):
    """GDPO: GRPO advantages of each reward component (the config's `gdpo_reward_keys` in `non_tensor_batch`, float32
    outcome scores; else the summed `token_level_rewards`), weighted by `gdpo_reward_weights` (float32, default 1),
    summed, whitened over the mask as verl's masked_whiten and times the mask."""

    scores, weights = None, None
    if config is not None and non_tensor_batch is not None and batch is not None:
        keys = config.get("gdpo_reward_keys", None)
        assert keys, (
            "GDPO requires 'algorithm.gdpo_reward_keys' listing the individual reward component keys returned by "
            "compute_score (e.g. ['format_reward', 'accuracy_reward'])."
        )
        for key in keys:
            assert key in non_tensor_batch, f"GDPO reward key '{key}' not found in non_tensor_batch."
        # verl writes each score into a float32 row at the response's last token and sums the row: the score itself.
        scores = [torch.tensor(np.asarray(non_tensor_batch[key], dtype=np.float32)) for key in keys]
        if config.get("gdpo_reward_weights", None) is not None:
            weights = torch.tensor(list(config.get("gdpo_reward_weights")), dtype=torch.float32)
    with torch.no_grad():
        if scores is None:
            scores = [token_level_rewards.sum(dim=-1)]
        if weights is None:
            weights = torch.ones(len(scores), dtype=torch.float32)
        one = torch.tensor(1.0) + epsilon
        total = None
        for k, component in enumerate(scores):
            singleton = (lambda s: s / one) if norm_adv_by_std_in_grpo else (lambda s: s)
            scale = "group" if norm_adv_by_std_in_grpo else "none"
            term = weights[k] * _outcome(component, index, "mean", scale, epsilon, singleton)
            total = term if total is None else total + term
        dtype = torch.promote_types(total.dtype, response_mask.dtype)
        advantages = _whiten_spread(total.to(dtype), response_mask, response_mask.shape[-1])
    return advantages, advantages


def _token_weights(old_log_probs, sum_pi_squared, rollout_is_weights, response_mask):
    """verl's cumulative path-variance proxy: the running sum over tokens of (1 - 2 exp(logp) + sum pi^2) [* rho^2]
    times the mask."""
    weights = 1 - 2 * torch.exp(old_log_probs) + sum_pi_squared
    if rollout_is_weights is not None:
        weights = weights * (rollout_is_weights**2)
    return (weights * response_mask).cumsum(dim=-1)


def _zero_tails(baselines, lengths, labels, members):
    """In each group of two or more whose longest row is longer than every other, that row's baselines from the
    second longest length on become 0.0."""
    lengths = lengths.detach().cpu().numpy()
    rows = np.flatnonzero(members)
    if rows.size == 0:
        return
    order = rows[np.lexsort((lengths[rows], labels[rows]))]
    last = np.flatnonzero(np.r_[labels[order][1:] != labels[order][:-1], True])
    for end in last:
        if end > 0 and labels[order[end - 1]] == labels[order[end]] and lengths[order[end]] > lengths[order[end - 1]]:
            baselines[int(order[end]), int(lengths[order[end - 1]]) :] = 0.0


def _group_baselines(products, weights, labels, members, epsilon):
    """Per group of two or more member rows, per column: sum(products) / (sum(weights) + epsilon), row by row in
    index order; 0.0 for rows alone in their group or not members."""
    counts = np.bincount(labels[members], minlength=int(labels.max()) + 1)
    shared = members & (counts[labels] > 1)
    rows = torch.from_numpy(labels[shared])
    chosen = torch.from_numpy(np.flatnonzero(shared))
    shape = (len(counts), products.shape[-1])
    numerator = torch.zeros(shape, dtype=products.dtype).index_add_(0, rows, products[chosen])
    denominator = torch.zeros(shape, dtype=weights.dtype).index_add_(0, rows, weights[chosen]) + epsilon
    baselines = torch.zeros(products.shape, dtype=products.dtype)
    baselines[chosen] = (numerator / denominator)[rows].to(products.dtype)
    return baselines, shared


def compute_optimal_token_baseline_advantage(
    token_level_rewards,
    response_mask,
    index,
    old_log_probs,
    sum_pi_squared,
    rollout_is_weights=None,
    handle_zero_tail=True,
    epsilon=1e-8,
    **kwargs,
):
    """Optimal token baseline: returns (undiscounted, masked rewards) minus a per-token group baseline, the returns
    weighted by the cumulative path-variance proxy W_t over the group's masked tokens, sum(G W m) / (sum(W m) + eps);
    one-member groups keep their returns; with `handle_zero_tail` a group's unique longest row has no baseline past
    the second longest length."""

    with torch.no_grad():
        returns = compute_masked_returns(token_level_rewards, response_mask, 1.0, mask_mode="zero")
        if returns.numel() == 0:
            return returns.clone(), returns
        cumulative = _token_weights(old_log_probs, sum_pi_squared, rollout_is_weights, response_mask)
        labels = _group_labels(index)
        members = np.ones(len(labels), dtype=bool)
        weighted = cumulative * response_mask
        baselines, shared = _group_baselines(returns * cumulative * response_mask, weighted, labels, members, epsilon)
        baselines = baselines.to(returns.dtype)
        if handle_zero_tail:
            _zero_tails(baselines, response_mask.sum(dim=-1), labels, shared)
        advantages = (returns - baselines) * response_mask
    return advantages, returns


def compute_multi_turn_optimal_token_baseline_advantage(
    token_level_rewards,
    response_mask,
    index,
    old_log_probs,
    sum_pi_squared,
    rollout_is_weights=None,
    handle_zero_tail=True,
    epsilon=1e-8,
    **kwargs,
):
    """The optimal token baseline over each row's kept tokens packed to the left (multi-turn rows with tool tokens
    masked): the group baseline of the k-th kept token is taken over the members' k-th kept tokens, rows without kept
    tokens belonging to no group."""

    with torch.no_grad():
        returns = compute_masked_returns(token_level_rewards, response_mask, 1.0, mask_mode="zero")
        cumulative = _token_weights(old_log_probs, sum_pi_squared, rollout_is_weights, response_mask)
        lengths = response_mask.sum(dim=-1).to(dtype=torch.long)
        width = int(lengths.max()) if lengths.numel() else 0
        kept = response_mask.bool()
        rows, columns = kept.nonzero(as_tuple=True)
        packed_columns = (kept.cumsum(dim=-1) - 1)[rows, columns]
        packed_weights = cumulative.new_zeros((len(lengths), width))
        packed_weights[rows, packed_columns] = cumulative[rows, columns]
        packed_returns = torch.zeros_like(packed_weights)
        packed_returns[rows, packed_columns] = returns[rows, columns].to(packed_returns.dtype)
        advantages = torch.zeros_like(returns)
        if len(lengths):
            labels = _group_labels(index)
            members = (lengths > 0).numpy()
            baselines, shared = _group_baselines(
                packed_returns * packed_weights, packed_weights, labels, members, epsilon
            )
            if handle_zero_tail:
                _zero_tails(baselines, lengths, labels, shared)
            advantages[rows, columns] = (packed_returns - baselines)[rows, packed_columns].to(advantages.dtype)
        advantages = advantages * response_mask
    return advantages, returns


ESTIMATORS = {
    "remax": compute_remax_outcome_advantage,
    "rloo_vectorized": compute_rloo_vectorized_outcome_advantage,
    "gpg": compute_gpg_outcome_advantage,
    "opo": compute_opo_outcome_advantage,
    "grpo_passk": compute_grpo_passk_outcome_advantage,
    "gdpo": compute_gdpo_outcome_advantage,
    "optimal_token_baseline": compute_optimal_token_baseline_advantage,
    "tir_optimal_token_baseline": compute_multi_turn_optimal_token_baseline_advantage,
}
