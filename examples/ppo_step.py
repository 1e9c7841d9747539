"""PPO updates on synthetic rollouts, written as a trainer would.

Each iteration collects a rollout from a few environments whose episodes end
at different times, then:

1. clips the raw rewards and normalises them against running statistics that
   the trainer carries from one iteration to the next;
2. splits the rollout into episodes (ragged lengths) and computes GAE for all
   of them in one parallel call, bootstrapping truncated episodes from the
   critic's value of the state after the last step;
3. builds value targets (advantage + value) and standardises the advantages;
4. evaluates the clipped surrogate for the new policy's log-probabilities;
5. logs reward statistics.

Run: python examples/ppo_step.py
"""

from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

import quorvale_rl_core as rl

Float64Array = npt.NDArray[np.float64]

NUM_ENVS = 4
STEPS_PER_ENV = 64
GAMMA, GAE_LAMBDA, CLIP_EPSILON = 0.99, 0.95, 0.2
REWARD_CLIP = 10.0


@dataclass
class RunningRewardStats:
    """What normalize_rewards needs from one call to the next; starts as 'nothing seen'."""

    mean: float = 0.0
    var: float = 1.0
    count: int = 0

    def normalize(self, rewards: Float64Array) -> Float64Array:
        normalized, self.mean, self.var, self.count = rl.normalize_rewards(rewards, self.mean, self.var, self.count)
        return normalized


@dataclass
class Episode:
    rewards: Float64Array  # one per step
    values: Float64Array  # one per step, plus the bootstrap value after the last step
    log_probs_old: Float64Array  # of the actions taken, under the policy that acted


def collect_rollout(rng: np.random.Generator, stats: RunningRewardStats) -> list[Episode]:
    """Runs NUM_ENVS environments for STEPS_PER_ENV steps; episodes end at random steps."""
    episodes: list[Episode] = []
    for _ in range(NUM_ENVS):
        raw = rng.standard_t(df=2.0, size=STEPS_PER_ENV) * 3.0  # heavy-tailed rewards
        rewards = stats.normalize(rl.clip_rewards_py(raw, -REWARD_CLIP, REWARD_CLIP))
        critic = rng.normal(size=STEPS_PER_ENV + 1)  # V(s_0) .. V(s_T)
        log_probs = np.log(rng.uniform(0.05, 1.0, size=STEPS_PER_ENV))
        ends = np.flatnonzero(rng.random(STEPS_PER_ENV) < 0.05)  # steps after which the episode terminated
        start = 0
        for end in [*ends.tolist(), STEPS_PER_ENV - 1]:
            stop = end + 1
            terminated = stop < STEPS_PER_ENV  # the last piece is truncated by the rollout length
            bootstrap = 0.0 if terminated else float(critic[stop])
            values = np.append(critic[start:stop], bootstrap)
            episodes.append(Episode(rewards[start:stop], values, log_probs[start:stop]))
            start = stop
    return episodes


def ppo_step(rng: np.random.Generator, stats: RunningRewardStats) -> dict[str, float]:
    episodes = collect_rollout(rng, stats)

    # GAE for every episode at once, on the worker pool; one array per episode.
    per_episode = rl.batch_compute_gae([e.rewards for e in episodes], [e.values for e in episodes], GAMMA, GAE_LAMBDA)
    # The single-trajectory function gives the same bits for any one episode.
    assert np.array_equal(per_episode[0], rl.compute_gae(episodes[0].rewards, episodes[0].values, GAMMA, GAE_LAMBDA))

    advantages = np.concatenate(per_episode)
    value_targets = advantages + np.concatenate([e.values[:-1] for e in episodes])
    advantages = (advantages - advantages.mean()) / (advantages.std() + 1e-8)

    # The optimiser has moved the policy a little since the rollout was collected.
    log_probs_old = np.concatenate([e.log_probs_old for e in episodes])
    log_probs_new = log_probs_old + rng.normal(scale=0.15, size=log_probs_old.size)
    ratios = np.exp(log_probs_new - log_probs_old)
    surrogate = rl.compute_ppo_surrogate(ratios, advantages, clip_epsilon=CLIP_EPSILON)

    lengths = rl.compute_reward_statistics([e.rewards.size for e in episodes])
    returns = rl.compute_reward_statistics([float(e.rewards.sum()) for e in episodes])
    return {
        "policy_loss": -float(surrogate.mean()),
        "clip_fraction": float(np.mean(np.abs(ratios - 1.0) > CLIP_EPSILON)),
        "value_target_mean": float(value_targets.mean()),
        "episodes": lengths["count"],
        "episode_length_mean": lengths["mean"],
        "episode_return_max": returns["max"],
        "reward_running_mean": stats.mean,
        "reward_running_var": stats.var,
    }


def main() -> None:
    rng = np.random.default_rng(11)
    stats = RunningRewardStats()
    for iteration in range(3):
        metrics = ppo_step(rng, stats)
        print(f"iteration {iteration}: " + ", ".join(f"{k}={v:.4g}" for k, v in metrics.items()))
    print(f"rewards seen: {stats.count}")


if __name__ == "__main__":
    main()
