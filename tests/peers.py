# The peers the drop-in tests compare with: their own functions where they can be imported on a CPU machine, and
# faithful transcriptions (marked as such) of the lines that live inline in a trainer or a script.
import importlib.util
import sys
import types

import pytest


def peer(module, package):
    """The peer's module, or a skip saying which package to install."""
    return pytest.importorskip(module, reason=f"peer missing: pip install {package} (bash .ci/peers installs them all)")


def openrlhf_experience_maker():
    """OpenRLHF's RemoteExperienceMaker from the installed wheel.

    Importing its module pulls in deepspeed, vLLM helpers and the Ray launcher, none of which the two GAE methods use:
    those imports are satisfied with empty stand-ins while the module loads, then removed again.
    """
    found = importlib.util.find_spec("openrlhf")
    if found is None:
        pytest.skip("peer missing: pip install --no-deps openrlhf (bash .ci/peers installs it)")
    path = found.submodule_search_locations[0] + "/trainer/ppo_utils/experience_maker.py"
    stand_ins = {
        "openrlhf.models.utils": ["compute_approx_kl", "compute_reward", "masked_mean"],
        "openrlhf.trainer.ppo_utils.experience": ["Experience"],
        "openrlhf.trainer.ppo_utils.length_penalty": ["apply_length_penalties"],
        "openrlhf.trainer.ray.launcher": ["RayActorGroup"],
        "openrlhf.utils.logging_utils": ["init_logger"],
        "openrlhf.utils.seqlen_balancing": ["get_minimum_num_micro_batch_size", "get_seqlen_balanced_partitions"],
    }
    saved = {name: sys.modules.get(name) for name in stand_ins}
    try:
        for name, attributes in stand_ins.items():
            module = types.ModuleType(name)
            for attribute in attributes:
                setattr(module, attribute, lambda *a, **k: types.SimpleNamespace(info=lambda *a, **k: None))
            sys.modules[name] = module
        loaded = importlib.util.module_from_spec(importlib.util.spec_from_file_location("openrlhf_experience", path))
        loaded.__spec__.loader.exec_module(loaded)
    finally:
        for name, module in saved.items():
            if module is None:
                sys.modules.pop(name, None)
            else:
                sys.modules[name] = module
    return loaded.RemoteExperienceMaker


# ---------------------------------------------------------------- transcriptions

def cleanrl_gae(rewards, values, dones, next_value, next_done, gamma, gae_lambda):
    """Transcription of the GAE block of CleanRL's ppo.py (cleanrl 1.2.0, lines 215-227): a script, not importable."""
    import torch
    num_steps = rewards.shape[0]
    advantages = torch.zeros_like(rewards)
    lastgaelam = 0
    for t in reversed(range(num_steps)):
        if t == num_steps - 1:
            nextnonterminal = 1.0 - next_done
            nextvalues = next_value
        else:
            nextnonterminal = 1.0 - dones[t + 1]
            nextvalues = values[t + 1]
        delta = rewards[t] + gamma * nextvalues * nextnonterminal - values[t]
        advantages[t] = lastgaelam = delta + gamma * gae_lambda * nextnonterminal * lastgaelam
    return advantages, advantages + values


def trl_grpo(rewards, num_generations, scale_rewards):
    """Transcription of GRPOTrainer._generate_and_score_completions' advantage lines (TRL 1.x, "sum_then_normalize"),
    with TRL's own nanstd."""
    import torch
    from trl.trainer.utils import nanstd
    mean_grouped = torch.nanmean(rewards.view(-1, num_generations), dim=1).repeat_interleave(num_generations, dim=0)
    if scale_rewards in ["group", "none"]:
        if num_generations > 1:
            std = nanstd(rewards.view(-1, num_generations), dim=1).repeat_interleave(num_generations, dim=0)
        else:
            std = torch.zeros_like(rewards)
    else:
        std = nanstd(rewards).expand_as(rewards) if rewards.numel() > 1 else torch.zeros_like(rewards)
    advantages = rewards - mean_grouped
    if scale_rewards != "none":
        advantages = advantages / (std + 1e-4)
    return torch.nan_to_num(advantages, nan=0.0)


def trl_rloo(rewards, num_generations, normalize_advantages):
    """Transcription of RLOOTrainer._generate_and_score_completions' advantage lines (TRL 1.x), with TRL's nanstd."""
    import torch
    from trl.trainer.utils import nanstd
    grouped = rewards.view(-1, num_generations)
    counts = (~torch.isnan(grouped)).sum(dim=1, keepdim=True)
    total = torch.nansum(grouped, dim=1, keepdim=True)
    if num_generations > 1:
        advantages = rewards - ((total - grouped) / (counts - 1)).view(-1)
    else:
        advantages = torch.zeros_like(rewards)
    if normalize_advantages:
        advantages = (advantages - torch.nanmean(advantages)) / (nanstd(advantages) + 1e-4)
    return torch.nan_to_num(advantages, nan=0.0)


def openrlhf_shape(rewards, n, estimator):
    """Transcription of the baseline lines of OpenRLHF's compute_advantages_and_returns (openrlhf 0.11.2)."""
    rewards = rewards.reshape(-1, n)
    if estimator == "rloo":
        rewards = rewards - (rewards.sum(-1, keepdim=True) - rewards) / (n - 1)
    elif estimator in ["reinforce_baseline", "dr_grpo"]:
        rewards = rewards - rewards.mean(-1, keepdim=True)
    elif estimator == "group_norm":
        rewards = (rewards - rewards.mean(-1, keepdim=True)) / (rewards.std(-1, keepdim=True) + 1e-9)
    elif estimator == "flash_reinforce":
        rewards = rewards - rewards.mean()
    return rewards.reshape(-1)
