"""verl's estimators beyond the first six (verl 0.9.1's `core_algos`), with verl's names, signatures and results,
computed by quorvale_rl_core. `ESTIMATORS` maps verl's registry names to them for `verl.register()`.
"""

from __future__ import annotations

import torch

from . import compute_masked_returns

__all__ = [
    "ESTIMATORS",
    "compute_gpg_outcome_advantage",
    "compute_remax_outcome_advantage",
    "compute_rloo_vectorized_outcome_advantage",
]


def compute_remax_outcome_advantage(token_level_rewards, reward_baselines, response_mask, config=None, **kwargs):
    """Undiscounted returns of the masked rewards (masked steps add 0.0, the sum runs on), minus the per-sample
    baseline on the kept tokens."""
    from .verl import _spread

    with torch.no_grad():
        returns = compute_masked_returns(token_level_rewards, response_mask, 1.0, mask_mode="zero")
        advantages = returns - _spread(reward_baselines, response_mask)
    return advantages, returns


def compute_rloo_vectorized_outcome_advantage(
    token_level_rewards, response_mask, index, epsilon=1e-6, config=None, **kwargs
):
    """verl's vectorised RLOO: the same advantages as `compute_rloo_outcome_advantage`, a one-member group's 0.0."""
    from .verl import _outcome, _spread

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
    from .verl import _outcome, _spread

    with torch.no_grad():
        scores = token_level_rewards.sum(dim=-1)
        factor = scores.shape[0] / torch.count_nonzero(scores).clamp(min=1)
        centred = _outcome(scores, index, "mean", "none", epsilon, lambda s: s)
        advantages = _spread(factor * centred / f_norm, response_mask)
    return advantages, advantages


ESTIMATORS = {
    "remax": compute_remax_outcome_advantage,
    "rloo_vectorized": compute_rloo_vectorized_outcome_advantage,
    "gpg": compute_gpg_outcome_advantage,
}
