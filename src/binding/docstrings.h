// Stored documentation of the nine functions: the name and text signature,
// "--", an empty line, then the docstring (the interpreter derives
// __text_signature__ and __doc__ from this form).
#pragma once

namespace qrl::binding::docs {

inline constexpr const char* compute_group_advantages =
    "compute_group_advantages(rewards, baseline_type, normalize)\n--\n\n"
    "Compute group-relative advantages for GRPO training\n"
    "\n"
    "This is a high-performance implementation that uses SIMD where available\n"
    "and parallelizes across groups.\n"
    "\n"
    "Args:\n"
    "    rewards: 2D array of shape (num_groups, group_size) containing rewards\n"
    "    baseline_type: \"mean\", \"median\", or \"min\"\n"
    "    normalize: Whether to normalize advantages\n"
    "\n"
    "Returns:\n"
    "    2D array of advantages with same shape as input";

inline constexpr const char* compute_gae =
    "compute_gae(rewards, values, gamma=0.99, gae_lambda=0.95)\n--\n\n"
    "Compute Generalized Advantage Estimation (GAE) for a trajectory\n"
    "\n"
    "High-performance GAE computation with configurable gamma and lambda.\n"
    "\n"
    "Args:\n"
    "    rewards: Array of per-step rewards\n"
    "    values: Array of value estimates (one more than rewards for bootstrap)\n"
    "    gamma: Discount factor (default 0.99)\n"
    "    gae_lambda: GAE lambda parameter (default 0.95)\n"
    "\n"
    "Returns:\n"
    "    Array of advantage estimates";

inline constexpr const char* batch_compute_gae =
    "batch_compute_gae(all_rewards, all_values, gamma=0.99, gae_lambda=0.95)\n--\n\n"
    "Batch compute GAE for multiple trajectories in parallel\n"
    "\n"
    "Args:\n"
    "    all_rewards: List of reward arrays\n"
    "    all_values: List of value arrays\n"
    "    gamma: Discount factor\n"
    "    gae_lambda: GAE lambda parameter\n"
    "\n"
    "Returns:\n"
    "    List of advantage arrays";

inline constexpr const char* normalize_rewards =
    "normalize_rewards(rewards, running_mean=0.0, running_var=1.0, count=0, epsilon=1e-8)\n--\n\n"
    "Normalize rewards using running statistics\n"
    "\n"
    "Efficient online normalization with Welford's algorithm.\n"
    "\n"
    "Args:\n"
    "    rewards: Array of rewards to normalize\n"
    "    running_mean: Current running mean (will be updated)\n"
    "    running_var: Current running variance (will be updated)\n"
    "    count: Current count (will be updated)\n"
    "    epsilon: Small value for numerical stability\n"
    "\n"
    "Returns:\n"
    "    Tuple of (normalized_rewards, new_mean, new_var, new_count)";

inline constexpr const char* clip_rewards_py =
    "clip_rewards_py(rewards, min_val, max_val)\n--\n\n"
    "Clip rewards to a specified range";

inline constexpr const char* compute_gspo_importance_ratios =
    "compute_gspo_importance_ratios(log_probs_new, log_probs_old, sequence_lengths)\n--\n\n"
    "Compute GSPO sequence-level importance ratios\n"
    "\n"
    "Implements the length-normalized sequence importance ratio from GSPO:\n"
    "s_i(\u03b8) = (\u03c0_\u03b8(y_i|x) / \u03c0_\u03b8_old(y_i|x))^(1/|y_i|)\n"
    "\n"
    "Args:\n"
    "    log_probs_new: Log probabilities under new policy (sum per sequence)\n"
    "    log_probs_old: Log probabilities under old policy (sum per sequence)\n"
    "    sequence_lengths: Length of each sequence\n"
    "\n"
    "Returns:\n"
    "    Array of sequence-level importance ratios";

inline constexpr const char* apply_gspo_clipping =
    "apply_gspo_clipping(ratios, advantages, clip_left=0.0003, clip_right=0.0004)\n--\n\n"
    "Apply GSPO clipping to importance ratios\n"
    "\n"
    "Args:\n"
    "    ratios: Importance ratios\n"
    "    advantages: Advantage values\n"
    "    clip_left: Left clipping bound (default 3e-4)\n"
    "    clip_right: Right clipping bound (default 4e-4)\n"
    "\n"
    "Returns:\n"
    "    Clipped surrogate objectives";

inline constexpr const char* compute_ppo_surrogate =
    "compute_ppo_surrogate(ratios, advantages, clip_epsilon=0.2)\n--\n\n"
    "Compute PPO clipped surrogate objective";

inline constexpr const char* compute_reward_statistics =
    "compute_reward_statistics(rewards)\n--\n\n"
    "Compute reward statistics for a batch of trajectories";

}  // namespace qrl::binding::docs
