"""OpenRLHF's advantages (`RemoteExperienceMaker` in `openrlhf.trainer.ppo_utils.experience_maker`), computed by
quorvale_rl_core: `get_advantages_and_returns` and `get_cumulative_returns` (its methods, here functions without
`self`) and `shape_rewards`, the per-prompt baselines it applies before them.

OpenRLHF's conventions kept: `(batch, response_length)` tensors; `action_mask` multiplies rewards and values (so a
masked step adds nothing but the recursion runs on through it with its decay: no cut, no skip); no bootstrap after the
last step; `gamma` and `lambd` as OpenRLHF names them. In `shape_rewards` the group std is unbiased with 1e-9 added and
always divides; with one sample per prompt "rloo" and "group_norm" give NaN (OpenRLHF's division by n - 1 = 0 and its
std of one element), kept on purpose.
"""

from __future__ import annotations

import torch

from . import compute_grpo_advantages, compute_masked_returns, compute_padded_gae

__all__ = ["get_advantages_and_returns", "get_cumulative_returns", "shape_rewards"]


def get_advantages_and_returns(values, rewards, action_mask, gamma, lambd):
    with torch.no_grad():
        # "zero": a masked step's reward and value count as 0.0 and the recursion runs on, as OpenRLHF's products.
        advantages, returns = compute_padded_gae(
            rewards, values, mask=action_mask, mask_mode="zero", gamma=float(gamma), gae_lambda=float(lambd)
        )
    return advantages, returns


def get_cumulative_returns(rewards, action_mask, gamma):
    with torch.no_grad():
        return compute_masked_returns(rewards, action_mask, float(gamma), mask_mode="zero")


def shape_rewards(rewards, n_samples_per_prompt, advantage_estimator):
    """The rewards after OpenRLHF's baseline for `advantage_estimator`, for rewards in prompt order.

    "rloo": minus the mean of the other samples of the prompt; "reinforce_baseline" and "dr_grpo": minus the prompt's
    mean; "group_norm": (r - mean) / (std + 1e-9); "flash_reinforce": minus the batch mean; any other estimator
    ("gae", "reinforce"): unchanged. At least float32, as OpenRLHF promotes them.
    """
    rewards = rewards.to(torch.promote_types(rewards.dtype, torch.float32))
    n = n_samples_per_prompt
    if advantage_estimator == "flash_reinforce":
        return rewards - rewards.mean()
    if advantage_estimator not in ("rloo", "reinforce_baseline", "dr_grpo", "group_norm"):
        return rewards
    grouped = rewards.reshape(-1, n)
    if n == 1 and advantage_estimator in ("rloo", "group_norm"):
        return torch.full_like(rewards, float("nan"))
    if advantage_estimator == "rloo":
        shaped = compute_grpo_advantages(grouped, "leave_one_out", "none")
    elif advantage_estimator == "group_norm":
        shaped = compute_grpo_advantages(grouped, "mean", "group", std_ddof=1, epsilon=1e-9, std_floor=0.0)
    else:
        shaped = compute_grpo_advantages(grouped, "mean", "none")
    return shaped.reshape(rewards.shape)
