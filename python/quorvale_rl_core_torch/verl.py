"""verl's advantage estimators (verl 0.9.x, `verl.trainer.ppo.core_algos`), computed by quorvale_rl_core.

Each function has the name, arguments, defaults and results of verl's own; `register()` puts them into verl's
advantage-estimator registry under names of their own ("quorvale_grpo", ...) so that a config selects them with
`algorithm.adv_estimator=quorvale_grpo`. verl runs its fit loop, advantages included, in a Ray actor (`TaskRunner`),
where what the driver registers is not seen: `install()` registers them and puts the drop-in GAE in place of verl's in
the process that calls it, and as Ray's `worker_process_setup_hook` (`ray_runtime_env()` sets it, or the override
`+ray_kwargs.ray_init.runtime_env.worker_process_setup_hook=quorvale_rl_core_torch.verl.install`) in every Ray worker
of the job. verl itself is imported only by `register()`, `install()` and `ray_runtime_env()`.

verl's conventions kept: `(batch, response_length)` tensors; `response_mask` steps at 0 are skipped (the carried
advantage and the next value pass through them, as for tool-observation tokens in multi-turn rollouts); no bootstrap
after the last token; GAE advantages whitened over the masked tokens with verl's own whitening (mean over
`mask.sum() + 1e-8`, unbiased variance, `rsqrt(var + 1e-8)`; a mask with fewer than two tokens raises verl's
`ValueError`); at skipped steps the advantage is the one carried through them (0.0 after the last kept token), as
verl leaves it. Groups by `index` (uids in any order); GRPO's std is unbiased with `epsilon` added and always divides;
a one-member group has mean 0 and std 1 (so its advantage is its score, divided by `1 + epsilon` when scaled), RLOO
keeps a one-member group's score. Outcome advantages are the per-sample scalar times `response_mask`, returned twice.
"""

from __future__ import annotations

import torch

from . import (
    compute_kl_penalty,
    compute_masked_returns,
    compute_padded_gae,
)
from ._verl_estimators import (  # noqa: F401 - verl's names, importable from here
    ESTIMATORS,
    compute_gdpo_outcome_advantage,
    compute_gpg_outcome_advantage,
    compute_grpo_passk_outcome_advantage,
    compute_multi_turn_optimal_token_baseline_advantage,
    compute_opo_outcome_advantage,
    compute_optimal_token_baseline_advantage,
    compute_remax_outcome_advantage,
    compute_rloo_vectorized_outcome_advantage,
)
from ._verl_shared import (
    _native,
    _native_whiten,
    _outcome,
    _refuse_too_few,
    _spread,
    _whiten,
    _whiten_spread,
)

__all__ = [
    "compute_gae_advantage_return",
    "compute_grpo_outcome_advantage",
    "compute_grpo_vectorized_outcome_advantage",
    "compute_rloo_outcome_advantage",
    "compute_reinforce_plus_plus_outcome_advantage",
    "compute_reinforce_plus_plus_baseline_outcome_advantage",
    "kl_penalty",
    "kl_penalty_forward",
    "masked_mean",
    "masked_whiten",
    "install",
    "ray_runtime_env",
    "register",
]

HOOK = "quorvale_rl_core_torch.verl.install"  # what Ray's workers import and call at start-up


def masked_mean(values, mask, axis=None):
    """verl's masked mean: the masked sum over `mask.sum(axis) + 1e-8` (NaN outside the mask ignored)."""
    total = (torch.where(mask.bool(), values, 0.0) * mask).sum(axis=axis)
    return total / (mask.sum(axis=axis) + 1e-8)


def masked_whiten(values, mask, shift_mean=True):
    """verl's whitening over the masked elements: `(values - mean) * rsqrt(var + 1e-8)`, var unbiased."""
    return _whiten(values, mask, shift_mean)


def compute_gae_advantage_return(token_level_rewards, values, response_mask, gamma, lam):
    with torch.no_grad():
        return _gae_advantage_return(token_level_rewards, values, response_mask, gamma, lam)


def _gae_advantage_return(token_level_rewards, values, response_mask, gamma, lam):
    # "carry": a skipped step holds the advantage carried through it and returns that plus its value, as verl.
    # verl's masked_whiten of the advantages in the same call: torch forms its count and n / (n - 1) in float32
    # unless the mask is float64.
    whiten = dict(float32_counts=response_mask.dtype != torch.float64)
    try:
        return compute_padded_gae(
            token_level_rewards,
            values,
            mask=response_mask,
            mask_mode="carry",
            gamma=float(gamma),
            gae_lambda=float(lam),
            whiten=whiten,
        )
    except ValueError:
        _refuse_too_few(response_mask)
        raise


def compute_grpo_outcome_advantage(
    token_level_rewards, response_mask, index, epsilon=1e-6, norm_adv_by_std_in_grpo=True, config=None
):
    with torch.no_grad():
        scores = token_level_rewards.sum(dim=-1)
        scale = "group" if norm_adv_by_std_in_grpo else "none"
        one = torch.tensor(1.0) + epsilon
        scalars = _outcome(scores, index, "mean", scale, epsilon, lambda s: s / one if norm_adv_by_std_in_grpo else s)
        advantages = _spread(scalars, response_mask)
    return advantages, advantages


def compute_grpo_vectorized_outcome_advantage(
    token_level_rewards, response_mask, index, epsilon=1e-6, norm_adv_by_std_in_grpo=True, config=None
):
    return compute_grpo_outcome_advantage(token_level_rewards, response_mask, index, epsilon, norm_adv_by_std_in_grpo)


def compute_rloo_outcome_advantage(token_level_rewards, response_mask, index, epsilon=1e-6, config=None, **kwargs):
    with torch.no_grad():
        scores = token_level_rewards.sum(dim=-1)
        scalars = _outcome(scores, index, "leave_one_out", "none", epsilon, lambda s: s)
        advantages = _spread(scalars, response_mask)
    return advantages, advantages


def compute_reinforce_plus_plus_outcome_advantage(token_level_rewards, response_mask, config=None, **kwargs):
    assert config is not None
    with torch.no_grad():
        # Discounted returns, masked steps passing the running return through (0.0 at them, as verl's product).
        returns = compute_masked_returns(token_level_rewards, response_mask, float(config.gamma), mask_mode="skip")
        advantages = _native_whiten(returns, response_mask, unmasked="times_mask")
    return advantages, returns


def compute_reinforce_plus_plus_baseline_outcome_advantage(
    token_level_rewards, response_mask, index, epsilon=1e-6, config=None, **kwargs
):
    with torch.no_grad():
        scores = token_level_rewards.sum(dim=-1)
        scalars = _outcome(scores, index, "mean", "none", epsilon, lambda s: s)
        advantages = _whiten_spread(scalars, response_mask, token_level_rewards.shape[-1])
    return advantages, advantages


def kl_penalty_forward(logprob, ref_logprob, kl_penalty):
    """verl's per-token KL estimates: "kl"/"k1", "abs", "mse"/"k2", "low_var_kl"/"k3" (clamped as verl does).

    Without autograd, on CPU float32/float64 tensors of one shape: the kernel, in float64 rounded once (float64: the
    bits of verl's but for k3's exp; float32: within one rounding of verl's float32 steps). Otherwise verl's steps.
    """
    estimators = ("kl", "k1", "abs", "mse", "k2", "low_var_kl", "k3")
    if (
        kl_penalty in estimators
        and _native(logprob, ref_logprob)
        and logprob.dim() == 2
        and logprob.shape == ref_logprob.shape
        and logprob.dtype == ref_logprob.dtype
    ):
        return compute_kl_penalty(logprob, ref_logprob, kl_penalty)
    # Without autograd, verl's steps in its order, each after the first into the first one's new buffer.
    in_place = not (torch.is_grad_enabled() and (logprob.requires_grad or ref_logprob.requires_grad))
    if kl_penalty in ("kl", "k1"):
        return logprob - ref_logprob
    if kl_penalty == "abs":
        difference = logprob - ref_logprob
        return difference.abs_() if in_place else difference.abs()
    if kl_penalty in ("mse", "k2"):
        difference = logprob - ref_logprob
        return difference.square_().mul_(0.5) if in_place else 0.5 * difference.square()
    if kl_penalty in ("low_var_kl", "k3"):
        log_ratio = torch.clamp(ref_logprob - logprob, min=-20, max=20)
        if in_place:
            return torch.exp(log_ratio).sub_(log_ratio).sub_(1).clamp_(min=-10, max=10)
        return torch.clamp((torch.exp(log_ratio) - log_ratio - 1).contiguous(), min=-10, max=10)
    raise NotImplementedError


def kl_penalty(logprob, ref_logprob, kl_penalty):
    """verl's KL penalty; a name ending in "+" keeps the estimate's value with the k2 gradient (straight through)."""
    base = kl_penalty[:-1] if kl_penalty.endswith("+") else kl_penalty
    forward = kl_penalty_forward(logprob, ref_logprob, base)
    if not kl_penalty.endswith("+") or kl_penalty in ("mse", "k2"):
        return forward
    backward = 0.5 * (logprob - ref_logprob).square()
    return backward - backward.detach() + forward.detach()


def _grpo_from_config(
    token_level_rewards, response_mask, index, epsilon=1e-6, norm_adv_by_std_in_grpo=None, config=None, **kwargs
):  # verl's dispatch passes what the batch has besides (`reward_baselines`, ...): GRPO does not use it
    if norm_adv_by_std_in_grpo is None:
        norm_adv_by_std_in_grpo = True if config is None else bool(config.get("norm_adv_by_std_in_grpo", True))
    return compute_grpo_outcome_advantage(token_level_rewards, response_mask, index, epsilon, norm_adv_by_std_in_grpo)


def register(prefix="quorvale_"):
    """Register the outcome estimators in verl's registry as prefix + verl's name; returns {name: function}.

    GRPO under the registry reads `norm_adv_by_std_in_grpo` from the algorithm config (verl passes it only to its own
    GRPO). GAE is not registered: verl calls its GAE directly, with the values; `install()` replaces it. Only this
    process sees the registry: verl's trainer runs in a Ray actor, which `install` as Ray's setup hook reaches.
    """
    from verl.trainer.ppo import core_algos

    estimators = {
        "grpo": _grpo_from_config,
        "grpo_vectorized": _grpo_from_config,
        "rloo": compute_rloo_outcome_advantage,
        "reinforce_plus_plus": compute_reinforce_plus_plus_outcome_advantage,
        "reinforce_plus_plus_baseline": compute_reinforce_plus_plus_baseline_outcome_advantage,
        **ESTIMATORS,
    }
    registered = {}
    for name, function in estimators.items():
        core_algos.register_adv_est(prefix + name)(function)
        registered[prefix + name] = function
    return registered


def install(prefix="quorvale_"):
    """`register(prefix)`, and verl's GAE replaced by the drop-in in this process; returns {name: function}.

    verl's `compute_advantage` calls `core_algos.compute_gae_advantage_return` directly (not through the registry), so
    the module attribute is what changes. Installing twice is harmless. Ray calls this with no argument in every
    worker process when it is the runtime environment's `worker_process_setup_hook`.
    """
    from verl.trainer.ppo import core_algos

    registered = register(prefix)
    core_algos.compute_gae_advantage_return = compute_gae_advantage_return
    return registered


def ray_runtime_env(runtime_env=None):
    """`install()` in this process, and a copy of `runtime_env` (a dict) whose `worker_process_setup_hook` does it in
    every Ray worker, for `ray.init(runtime_env=...)` or verl's `ray_kwargs.ray_init.runtime_env`.

    A different setup hook already there raises ValueError (Ray takes one): call `install()` from that hook instead.
    """
    runtime_env = dict(runtime_env or {})
    hook = runtime_env.get("worker_process_setup_hook")
    if hook not in (None, HOOK):
        raise ValueError(f"runtime_env already has worker_process_setup_hook {hook!r}; call {HOOK}() from it instead")
    install()
    runtime_env["worker_process_setup_hook"] = HOOK
    return runtime_env
