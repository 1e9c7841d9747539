"""TRL's GRPO and RLOO advantages (the arithmetic inline in `GRPOTrainer` and `RLOOTrainer`), computed by
quorvale_rl_core, as functions over the gathered rewards tensor.

TRL's conventions kept: `rewards` is a vector of `num_prompts * num_generations` rewards, each prompt's generations
side by side; a NaN reward marks an unscorable completion, left out of its group's statistics, its advantage 0.0;
std unbiased (NaN-aware), epsilon 1e-4 added, always dividing; `torch.nan_to_num(..., nan=0.0)` at the end, so a
group with a single scorable member gets 0.0 (TRL's 0/0) and an infinite advantage becomes the largest float, as in
TRL. `scale_rewards="batch"` divides the per-group differences by the std of all rewards, as TRL does.

`GRPOTrainer` and `RLOOTrainer` (TRL 1.16; TRL is imported when either name is first read) are TRL's trainers whose
advantages, those the loss uses, are these functions' results over the rewards TRL gathered, grouped by
`num_generations` in training and `num_generations_eval` in evaluation. They override no TRL lines: TRL's own method
runs first and keeps its logged metrics and completions table (so TRL's advantage lines still run, for its logs), then
the advantages it hands on are replaced.
"""

from __future__ import annotations

import torch

from . import compute_grpo_advantages, compute_grpo_advantages_ragged

__all__ = ["grpo_advantages", "rloo_advantages"]  # and, built on first use, GRPOTrainer and RLOOTrainer

CHECKED_TRL = "1.16"  # the TRL minor version whose reward assembly the trainer subclasses reproduce


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


def __getattr__(name):  # the trainer subclasses are built, importing TRL, when first asked for
    if name in ("GRPOTrainer", "RLOOTrainer"):
        globals().update(_trainers())
        return globals()[name]
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def _summed_rewards(rewards_per_func, reward_weights):
    """TRL's rewards from its per-function rewards: weighted NaN-ignoring sum, NaN where every function gave None."""
    rewards = (rewards_per_func * reward_weights.to(rewards_per_func.device).unsqueeze(0)).nansum(dim=1)
    rewards[torch.isnan(rewards_per_func).all(dim=1)] = torch.nan
    return rewards


def _trainers():
    import trl
    from accelerate.utils import gather

    if ".".join(trl.__version__.split(".")[:2]) != CHECKED_TRL:
        raise RuntimeError(
            f"quorvale_rl_core_torch.trl's trainers reproduce TRL {CHECKED_TRL}'s reward assembly; TRL "
            f"{trl.__version__} is installed. Install trl=={CHECKED_TRL}.* or call grpo_advantages / rloo_advantages "
            "from your own trainer."
        )

    class _Advantages:
        """What both trainers share: the gathered rewards caught on their way to TRL's advantage lines, and the
        advantages the loss uses replaced by the drop-in's over the same groups."""

        def _calculate_rewards(self, *args, **kwargs):
            self._quorvale_rewards_per_func = super()._calculate_rewards(*args, **kwargs)
            return self._quorvale_rewards_per_func

        def _group_size(self):
            return self.num_generations if self.model.training else self.num_generations_eval

        def _generate_and_score_completions(self, inputs):
            output = super()._generate_and_score_completions(inputs)
            advantages = self._advantages(_summed_rewards(self._quorvale_rewards_per_func, self.reward_weights), output)
            start = self.accelerator.process_index * len(inputs)  # this process's share, as TRL slices it
            output["advantages"] = advantages[start : start + len(inputs)]
            self._quorvale_rewards_per_func = None
            return output

    class GRPOTrainer(_Advantages, trl.GRPOTrainer):
        """TRL's GRPOTrainer with the advantages of `grpo_advantages` (`multi_objective_aggregation`
        "sum_then_normalize", TRL's default)."""

        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            if self.multi_objective_aggregation != "sum_then_normalize":
                raise ValueError(
                    'quorvale_rl_core_torch.trl.GRPOTrainer takes multi_objective_aggregation="sum_then_normalize" '
                    f"only, not {self.multi_objective_aggregation!r}"
                )

        def _advantages(self, rewards, output):
            return grpo_advantages(rewards, self._group_size(), self.scale_rewards)

    class RLOOTrainer(_Advantages, trl.RLOOTrainer):
        """TRL's RLOOTrainer with the advantages of `rloo_advantages`, over TRL's rewards: clipped to
        `reward_clip_range`, minus `beta` times each completion's summed log-ratio to the reference model."""

        _quorvale_logps = None

        def _get_per_token_logps_and_entropies(self, *args, **kwargs):
            result = super()._get_per_token_logps_and_entropies(*args, **kwargs)
            if self._quorvale_logps is not None:  # while scoring: the policy's log-probs, then the reference's
                self._quorvale_logps.append(result[0])
            return result

        def _generate_and_score_completions(self, inputs):
            self._quorvale_logps = []
            try:
                return super()._generate_and_score_completions(inputs)
            finally:
                self._quorvale_logps = None

        def _advantages(self, rewards, output):
            if self.reward_clip_range:
                rewards = rewards.clamp(min=self.reward_clip_range[0], max=self.reward_clip_range[1])
            if self.beta != 0.0:
                policy, reference = self._quorvale_logps
                rewards = rewards - self.beta * gather(((policy - reference) * output["completion_mask"]).sum(-1))
            return rloo_advantages(rewards, self._group_size(), self.normalize_advantages)

    return {"GRPOTrainer": GRPOTrainer, "RLOOTrainer": RLOOTrainer}
