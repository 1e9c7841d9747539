# The module's functions as the tests know them: one entry per function, in table order (the order of __all__).
# Adding a function: one Function entry here gives it the calling-convention, fuzz and leak tests.
from collections.abc import Callable
from dataclasses import dataclass

import numpy as np


def f64(values):
    return np.array(values, dtype=np.float64)


@dataclass(frozen=True)
class Function:
    signature: str  # the text signature, defaults included
    kinds: str  # conversion kind of each parameter: vec ivec mat veclist seq float int bool str
    first_line: str  # the docstring's first line
    valid: Callable[[], list]  # fresh valid positional arguments, one per parameter

    @property
    def params(self):
        return [p.split("=")[0] for p in self.signature[1:-1].split(", ")]

    @property
    def required(self):
        return sum("=" not in p for p in self.signature[1:-1].split(", "))

    @property
    def defaults(self):
        return [0 if d == "0" else float(d) for d in (p.split("=")[1] for p in self.signature[1:-1].split(", ") if "=" in p)]


REGISTRY = {
    "compute_group_advantages": Function("(rewards, baseline_type, normalize)", "mat str bool", "Compute group-relative "
                                         "advantages for GRPO training", lambda: [np.arange(6.0).reshape(2, 3), "median", True]),
    "compute_gae": Function("(rewards, values, gamma=0.99, gae_lambda=0.95)", "vec vec float float", "Compute Generalized Advantage "
                            "Estimation (GAE) for a trajectory", lambda: [f64([1.0, 2.0, 3.0]), f64([0.5] * 4), 0.9, 0.8]),
    "batch_compute_gae": Function("(all_rewards, all_values, gamma=0.99, gae_lambda=0.95)", "veclist veclist float float", "Batch compute GAE "
                                  "for multiple trajectories in parallel", lambda: [[f64([1.0, 2.0]), f64([3.0])], [f64([0.5] * 3), f64([1.0, 1.0])], 0.9, 0.8]),
    "normalize_rewards": Function("(rewards, running_mean=0.0, running_var=1.0, count=0, epsilon=1e-8)", "vec float float int float",
                                  "Normalize rewards using running statistics", lambda: [f64([1.0, 2.0, 4.0]), 0.5, 2.0, 7, 1e-6]),
    "clip_rewards_py": Function("(rewards, min_val, max_val)", "vec float float", "Clip rewards to a specified range",
                                lambda: [f64([-2.0, 0.5, 3.0]), -1.0, 1.0]),
    "compute_gspo_importance_ratios": Function("(log_probs_new, log_probs_old, sequence_lengths)", "vec vec ivec", "Compute GSPO sequence-level "
                                               "importance ratios", lambda: [f64([-10.0, -3.0, 1.0]), f64([-12.0, -3.5, 1.0]), np.arange(4, 1, -1)]),
    "apply_gspo_clipping": Function("(ratios, advantages, clip_left=0.0003, clip_right=0.0004)", "vec vec float float", "Apply GSPO clipping to "
                                    "importance ratios", lambda: [f64([1.001, 0.9, 0.5]), f64([2.0, -1.0, 1.0]), 0.001, 0.002]),
    "compute_ppo_surrogate": Function("(ratios, advantages, clip_epsilon=0.2)", "vec vec float", "Compute PPO clipped surrogate objective",
                                      lambda: [f64([1.5, 0.5, 1.0]), f64([2.0, -1.0, 3.0]), 0.1]),
    "compute_reward_statistics": Function("(rewards)", "seq", "Compute reward statistics for a batch of trajectories", lambda: [[2.0, -1.0, 7.0]]),
}
NAMES = list(REGISTRY)
PARAMS = {n: f.params for n, f in REGISTRY.items()}
REQUIRED = {n: f.required for n, f in REGISTRY.items()}
KINDS = {n: f.kinds.split() for n, f in REGISTRY.items()}
BOUNDS, UNWRAP = "min > max, or either was NaN. ", "called `Option::unwrap()` on a `None` value"
PANICS = {"clip_rewards_py": BOUNDS, "compute_ppo_surrogate": BOUNDS, "compute_reward_statistics": UNWRAP}
NOT_CONTIGUOUS = "The given array is not contiguous"


def valid(name):
    return REGISTRY[name].valid()


def call(name, *args, **kwargs):
    return getattr(__import__("quorvale_rl_core"), name)(*args, **kwargs)
