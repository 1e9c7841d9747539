"""TRL's GRPO and RLOO advantages (the arithmetic inline in `GRPOTrainer` and `RLOOTrainer`), computed by
quorvale_rl_core, as functions over the gathered rewards tensor.

TRL's conventions kept: `rewards` is a vector of `num_prompts * num_generations` rewards, each prompt's generations
side by side; a NaN reward marks an unscorable completion, left out of its group's statistics, its advantage 0.0;
std unbiased (NaN-aware), epsilon 1e-4 added, always dividing; `torch.nan_to_num(..., nan=0.0)` at the end, so a
group with a single scorable member gets 0.0 (TRL's 0/0) and an infinite advantage becomes the largest float, as in
TRL. `scale_rewards="batch"` divides the per-group differences by the std of all rewards, as TRL does.
"""

from __future__ import annotations

import torch

from . import compute_grpo_advantages, compute_grpo_advantages_ragged

__all__ = ["grpo_advantages", "rloo_advantages"]


def _nanstd(tensor):
    """TRL's NaN-aware unbiased std over all elements."""
    mean = torch.nanmean(tensor, dim=None, keepdim=True)
    variance = torch.nanmean((tensor - mean) ** 2, dim=None, keepdim=True)
    count = torch.sum(~torch.isnan(tensor), dim=None, keepdim=True)
    return torch.sqrt(variance * (count / (count - 1)))


def _scorable_groups(rewards, num_generations, at_least=1):
    """The scorable rewards, their group labels and where they sit (groups of fewer than `at_least` dropped)."""
    scorable = ~torch.isnan(rewards)
    labels = torch.arange(rewards.numel(), device=rewards.device) // num_generations
    if at_least > 1:
        counts = torch.zeros(rewards.numel() // num_generations + 1, dtype=torch.int64, device=rewards.device)
        counts.index_add_(0, labels[scorable], torch.ones_like(labels[scorable]))
        scorable &= counts[labels] >= at_least
    return scorable, labels


def _rows(rewards, num_generations):
    """The rewards as a (prompts, generations) view when every completion is scorable and the groups are whole (the
    common case: one 2-D kernel call, no labels to build), else None. One sum finds a NaN: NaN in, NaN out."""
    if rewards.dim() != 1 or rewards.numel() % num_generations or bool(torch.isnan(rewards.sum())):
        return None
    return rewards.reshape(-1, num_generations)


def _scatter(values, where, like):
    out = torch.zeros_like(like)
    out[where] = values.to(out.dtype)
    return out


def grpo_advantages(rewards, num_generations, scale_rewards="group"):
    """GRPOTrainer's advantages for `rewards` of shape (num_prompts * num_generations,)."""
    if scale_rewards not in ("group", "batch", "none"):
        raise ValueError(
            f"Invalid value for scale_rewards: {scale_rewards}. Must be one of 'batch', 'group', or 'none'."
        )
    if rewards.numel() == 0:
        return rewards.clone()
    scale = "group" if scale_rewards == "group" and num_generations > 1 else "none"
    keywords = dict(std_ddof=1, epsilon=1e-4, std_floor=0.0)
    rows = _rows(rewards, num_generations)
    if rows is not None:
        picked = rewards
        advantages = compute_grpo_advantages(rows, "mean", scale, **keywords).reshape(rewards.shape)
    else:
        scorable, labels = _scorable_groups(rewards, num_generations)
        if bool(scorable.all()):
            picked, ids = rewards, labels
        else:
            picked, ids = rewards[scorable], labels[scorable]
        advantages = compute_grpo_advantages_ragged(picked, None, "mean", scale, group_ids=ids, **keywords)
    if scale_rewards == "batch":
        spread = _nanstd(rewards) if rewards.numel() > 1 else torch.zeros((), dtype=rewards.dtype)
        advantages = advantages / (spread.reshape(()) + 1e-4)
    if picked is not rewards:
        advantages = _scatter(advantages, scorable, rewards)
    return torch.nan_to_num(advantages, nan=0.0)


def rloo_advantages(rewards, num_generations, normalize_advantages=False):
    """RLOOTrainer's advantages (leave-one-out over the scorable siblings, optionally normalised over the batch)."""
    if rewards.numel() == 0 or num_generations <= 1:
        return torch.zeros_like(rewards)
    scale = "batch" if normalize_advantages else "none"
    keywords = dict(std_ddof=1, epsilon=1e-4, std_floor=0.0)
    rows = _rows(rewards, num_generations)
    if rows is not None:
        advantages = compute_grpo_advantages(rows, "leave_one_out", scale, **keywords).reshape(rewards.shape)
        return torch.nan_to_num(advantages, nan=0.0)
    # Members alone in their group among the scorable ones get TRL's 0/0: left out of every statistic, 0.0 at the end.
    scorable, labels = _scorable_groups(rewards, num_generations, at_least=2)
    if not bool(scorable.any()):
        return torch.zeros_like(rewards)
    picked = rewards if bool(scorable.all()) else rewards[scorable]
    ids = labels if picked is rewards else labels[scorable]
    advantages = compute_grpo_advantages_ragged(picked, None, "leave_one_out", scale, group_ids=ids, **keywords)
    if picked is not rewards:
        advantages = _scatter(advantages, scorable, rewards)
    return torch.nan_to_num(advantages, nan=0.0)
