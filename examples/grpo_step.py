"""One GRPO/GSPO policy-update step on synthetic data, written as a trainer would.

For every prompt the policy samples a group of responses and a reward model
scores each one. GRPO needs no value network: each response's advantage is
its reward measured against the other responses to the same prompt. GSPO
then weighs every response by one sequence-level importance ratio (the
length-normalised likelihood ratio between the current policy and the policy
that sampled it) and clips that ratio in a narrow, asymmetric band.

The kernels return plain NumPy values. In a trainer whose loss must carry
gradients, the advantages are used as they are (they are constants of the
loss) while the ratio and objective here serve as a reference and for the
logged metrics (clip fraction, objective mean).

Run: python examples/grpo_step.py
"""

from typing import Literal

import numpy as np
import numpy.typing as npt

import quorvale_rl_core as rl

Float64Array = npt.NDArray[np.float64]
Int64Array = npt.NDArray[np.int64]

NUM_PROMPTS = 8
GROUP_SIZE = 16  # responses sampled per prompt
CLIP_LEFT, CLIP_RIGHT = 3e-4, 4e-4  # GSPO's band: [1 - 3e-4, 1 + 4e-4]


def sample_group_rollouts(
    rng: np.random.Generator,
) -> tuple[Float64Array, Int64Array, Float64Array, Float64Array]:
    """Rewards (prompts, group), and per response: length and summed token log-probabilities."""
    num_responses = NUM_PROMPTS * GROUP_SIZE
    # A verifier-style reward: mostly 0/1 correctness plus a small format bonus.
    correct = rng.random((NUM_PROMPTS, GROUP_SIZE)) < rng.uniform(0.2, 0.8, size=(NUM_PROMPTS, 1))
    rewards = correct.astype(np.float64) + rng.uniform(0.0, 0.1, size=(NUM_PROMPTS, GROUP_SIZE))

    lengths = rng.integers(16, 512, size=num_responses, dtype=np.int64)
    # Token log-probabilities of every response under the sampling (old) policy and
    # under the policy being optimised, laid end to end, then summed per response.
    token_logp_old = np.log(rng.uniform(0.05, 1.0, size=int(lengths.sum())))
    token_logp_new = token_logp_old + rng.normal(scale=0.01, size=token_logp_old.size)
    starts = np.concatenate(([0], np.cumsum(lengths)[:-1]))
    logp_old = np.add.reduceat(token_logp_old, starts)
    logp_new = np.add.reduceat(token_logp_new, starts)
    return rewards, lengths, logp_new, logp_old


def gspo_step(rng: np.random.Generator) -> dict[str, float]:
    rewards, lengths, logp_new, logp_old = sample_group_rollouts(rng)

    # Group-relative advantages, one per response, flattened in (prompt, response)
    # order. The mean baseline with standardisation is the GRPO default; the median
    # is robust to one outlier score; the minimum keeps every advantage >= 0.
    advantages = rl.compute_group_advantages(rewards, "mean", True)
    # The baseline's type is the literal names: a type checker catches a misspelt one.
    baselines: tuple[Literal["median", "min"], ...] = ("median", "min")
    for baseline in baselines:
        alternative = rl.compute_group_advantages(rewards, baseline, False).reshape(rewards.shape)
        print(f"{baseline:>6} baseline, prompt 0: {np.array2string(alternative[0, :6], precision=3)} ...")

    ratios = rl.compute_gspo_importance_ratios(logp_new, logp_old, lengths)
    objective = rl.apply_gspo_clipping(ratios, advantages, clip_left=CLIP_LEFT, clip_right=CLIP_RIGHT)

    # Clipping binds above the band for A >= 0 and below it for A < 0.
    clipped = np.where(advantages >= 0.0, ratios > 1.0 + CLIP_RIGHT, ratios < 1.0 - CLIP_LEFT)
    reward_stats = rl.compute_reward_statistics(rewards.ravel())
    return {
        "loss": -float(objective.mean()),
        "clip_fraction": float(clipped.mean()),
        "ratio_max": float(ratios.max()),
        "reward_mean": reward_stats["mean"],
        "reward_std": reward_stats["std"],
        "reward_median": reward_stats["median"],
    }


def main() -> None:
    rng = np.random.default_rng(7)
    metrics = gspo_step(rng)
    for name, value in metrics.items():
        print(f"{name:>14}: {value:.6g}")


if __name__ == "__main__":
    main()
