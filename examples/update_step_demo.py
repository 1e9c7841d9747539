"""One synthetic RL update step that exercises every kernel of quorvale_rl_core.

First the trainer-layer functions (strict names, padded batches, ragged
groups) and the torch adapter when torch is installed; then a GRPO/GSPO step
on grouped responses and a PPO step on a rollout with the nine core
functions, each printing what the kernels return.
"""

import importlib
import importlib.util
from typing import Any

import numpy as np

import quorvale_rl_core as rl

rng = np.random.default_rng(0)
np.set_printoptions(precision=4, suppress=True)

print(f"quorvale_rl_core {rl.__version__}\n")

# --- trainer layer: padded batches and groups ------------------------------------
batch_rewards = rng.normal(size=(3, 5))
batch_values = rng.normal(size=(3, 5))
batch_next_values = np.concatenate([batch_values[:, 1:], np.zeros((3, 1))], axis=1)
mask = np.arange(5)[None, :] < np.array([[5], [3], [4]])  # right padding
dones = np.zeros((3, 5), dtype=bool)
dones[1, 2] = True
padded_adv, padded_ret = rl.compute_padded_gae(batch_rewards, batch_values, batch_next_values, dones, None, mask)
print("padded GAE advantages (padding 0.0):\n", padded_adv)
print("GRPO advantages, mean baseline, standardised per group:\n", rl.compute_grpo_advantages(batch_rewards))
print(
    "RLOO (leave-one-out, unscaled), groups of 4, 6 and 5:",
    rl.compute_grpo_advantages_ragged(batch_rewards.ravel(), np.array([4, 6, 5]), "leave_one_out", "none")[:4],
)

if importlib.util.find_spec("torch") is not None:
    # The adapter and torch are optional and untyped here: held as Any.
    rlt: Any = importlib.import_module("quorvale_rl_core_torch")
    torch: Any = importlib.import_module("torch")

    tensor_rewards = torch.from_numpy(batch_rewards).float()
    tensor_adv = rlt.compute_grpo_advantages(tensor_rewards, "median", "group")
    print("through the torch adapter:", tensor_adv.dtype, tuple(tensor_adv.shape))
print()

# --- GRPO / GSPO: 4 prompts x 6 sampled responses -----------------------------
rewards = rng.normal(size=(4, 6))
advantages = rl.compute_group_advantages(rewards, "mean", True)
print("group advantages (mean baseline, standardised):\n", advantages.reshape(4, 6))
print("median baseline, first group:", rl.compute_group_advantages(rewards, "median", False)[:6])
print("min baseline, first group:   ", rl.compute_group_advantages(rewards, "min", False)[:6])

lengths = rng.integers(8, 64, size=24)
log_probs_old = -rng.uniform(5.0, 50.0, size=24)
log_probs_new = log_probs_old + rng.normal(scale=0.05, size=24)
ratios = rl.compute_gspo_importance_ratios(log_probs_new, log_probs_old, lengths)
print("\nGSPO sequence ratios:", ratios[:6])
objective = rl.apply_gspo_clipping(ratios, advantages)
print("GSPO clipped objective, mean:", objective.mean())

# --- PPO on a rollout ----------------------------------------------------------
steps = 16
step_rewards = rl.clip_rewards_py(rng.normal(size=steps) * 3.0, -5.0, 5.0)
normalised, mean, var, count = rl.normalize_rewards(step_rewards)
print(f"\nrunning reward statistics: mean={mean:.4f} var={var:.4f} count={count}")
values = rng.normal(size=steps + 1)  # one bootstrap value after the last step
gae = rl.compute_gae(normalised, values, gamma=0.99, gae_lambda=0.95)
print("GAE advantages:", gae)

episodes_r = [rng.normal(size=n) for n in (5, 9, 3)]
episodes_v = [rng.normal(size=n + 1) for n in (5, 9, 3)]
for i, adv in enumerate(rl.batch_compute_gae(episodes_r, episodes_v)):
    print(f"episode {i} advantages:", adv)

ppo_ratios = np.exp(rng.normal(scale=0.1, size=steps))
surrogate = rl.compute_ppo_surrogate(ppo_ratios, gae, clip_epsilon=0.2)
print("PPO surrogate, mean:", surrogate.mean())
print("reward statistics:", rl.compute_reward_statistics(step_rewards))

# --- what this process ran with ------------------------------------------------
info = rl.runtime_info()
print(
    f"\nquorvale_rl_core {info['version']}: {info['instruction_set']} path "
    f"(allowed: {', '.join(info['instruction_sets_allowed'])}; cap: {info['cpu_features_cap']}), "
    f"pool of {info['pool_threads']} threads from {info['pool_threads_source']}, started: {info['pool_started']}"
)
