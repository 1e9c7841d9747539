# The one list of the module's functions: one entry per function, in table order (the order of __all__).  The C++
# table, both __all__ lists (stubs, torch adapter) and the function tables of README.md and DESCRIPTION.md are
# written from it by `python .ci/function_lists.py`; tests/test_checklist.py fails while one of them is stale.
# Adding a function: one Function entry here gives it the shared tests (calling convention, fuzz and leaks for
# the nine; inputs unchanged, references kept, thread-count and instruction-set parity for every kernel), its
# typed def in the stubs and its torch function when nobody wrote them by hand, and tests/test_checklist.py names
# every other place it must reach.  A new parameter is one edit of its entry's
# signature and kinds.
import ast
from collections.abc import Callable
from dataclasses import dataclass

import numpy as np


def f64(values):
    return np.array(values, dtype=np.float64)


@dataclass(frozen=True)
class Function:
    signature: str  # the text signature, defaults included ("*" before keyword-only parameters)
    kinds: str  # conversion kind of each parameter: vec ivec mat flags flagvec veclist seq float int bool str out
    first_line: str  # the docstring's first line
    valid: Callable[[], list]  # fresh valid arguments, one per parameter (keyword-only ones passed by name)
    layer: str = "core"  # "core" (the nine, frozen), "trainer" (the trainer layer)
    family: str = ""  # its row in the function tables of README.md and DESCRIPTION.md ("": in none)
    kernel: bool = True  # computes results from arrays (False: a report such as runtime_info)
    adapted: bool = True  # the torch adapter has a function of the same name
    float32: bool = False  # float32 arrays read natively, results rounded once (False: refused)
    large: Callable | None = None  # rng -> arguments large enough for the pool, with vector bodies and tails
    libm: bool = False  # its results go through the C library's exp, which may round otherwise on another machine
    outputs: int = 1  # arrays it returns (and takes as out=, a tuple when more than one)

    @property
    def _parts(self):
        return [p for p in self.signature[1:-1].split(", ") if p and p != "*"]

    @property
    def params(self):
        return [p.split("=")[0] for p in self._parts]

    @property
    def keyword_only(self):
        parts = [p for p in self.signature[1:-1].split(", ") if p]
        return [p.split("=")[0] for p in parts[parts.index("*") + 1:]] if "*" in parts else []

    @property
    def required(self):
        return sum("=" not in p for p in self._parts)

    @property
    def defaults(self):
        return [ast.literal_eval(p.split("=")[1]) for p in self._parts if "=" in p]

    def arguments(self, values=None):
        """Fresh valid arguments (or `values`, one per parameter) as (positional, keyword) for a call."""
        values = self.valid() if values is None else values
        cut = len(self.params) - len(self.keyword_only)
        return values[:cut], dict(zip(self.params[cut:], values[cut:]))


REGISTRY = {
    "compute_group_advantages": Function("(rewards, baseline_type, normalize)", "mat str bool", "Compute group-relative "
                                         "advantages for GRPO training", lambda: [np.arange(6.0).reshape(2, 3), "median", True], family="advantage estimation"),
    "compute_gae": Function("(rewards, values, gamma=0.99, gae_lambda=0.95)", "vec vec float float", "Compute Generalized Advantage "
                            "Estimation (GAE) for a trajectory", lambda: [f64([1.0, 2.0, 3.0]), f64([0.5] * 4), 0.9, 0.8], family="advantage estimation"),
    "batch_compute_gae": Function("(all_rewards, all_values, gamma=0.99, gae_lambda=0.95)", "veclist veclist float float", "Batch compute GAE "
                                  "for multiple trajectories in parallel", lambda: [[f64([1.0, 2.0]), f64([3.0])], [f64([0.5] * 3), f64([1.0, 1.0])], 0.9, 0.8], family="advantage estimation"),
    "normalize_rewards": Function("(rewards, running_mean=0.0, running_var=1.0, count=0, epsilon=1e-8)", "vec float float int float",
                                  "Normalize rewards using running statistics", lambda: [f64([1.0, 2.0, 4.0]), 0.5, 2.0, 7, 1e-6], family="reward processing"),
    "clip_rewards_py": Function("(rewards, min_val, max_val)", "vec float float", "Clip rewards to a specified range",
                                lambda: [f64([-2.0, 0.5, 3.0]), -1.0, 1.0], family="reward processing"),
    "compute_gspo_importance_ratios": Function("(log_probs_new, log_probs_old, sequence_lengths)", "vec vec ivec", "Compute GSPO sequence-level "
                                               "importance ratios", lambda: [f64([-10.0, -3.0, 1.0]), f64([-12.0, -3.5, 1.0]), np.arange(4, 1, -1)], libm=True, family="policy objectives"),
    "apply_gspo_clipping": Function("(ratios, advantages, clip_left=0.0003, clip_right=0.0004)", "vec vec float float", "Apply GSPO clipping to "
                                    "importance ratios", lambda: [f64([1.001, 0.9, 0.5]), f64([2.0, -1.0, 1.0]), 0.001, 0.002], family="policy objectives"),
    "compute_ppo_surrogate": Function("(ratios, advantages, clip_epsilon=0.2)", "vec vec float", "Compute PPO clipped surrogate objective",
                                      lambda: [f64([1.5, 0.5, 1.0]), f64([2.0, -1.0, 3.0]), 0.1], family="policy objectives"),
    "compute_reward_statistics": Function("(rewards)", "seq", "Compute reward statistics for a batch of trajectories", lambda: [[2.0, -1.0, 7.0]], family="reward processing"),
    "compute_padded_gae": Function("(rewards, values, next_values=None, dones=None, truncated=None, mask=None, gamma=0.99, gae_lambda=0.95, "
                                   '*, time_axis=1, mask_mode="cut", bootstrap=None, final_values=None, episode_starts=None, last_dones=None, out=None, whiten=None)',
                                   "mat mat mat flags flags flags float float int str vec mat flags flagvec out options",
                                   "Compute GAE over a padded batch of episodes",
                                   lambda: [np.arange(12.0).reshape(3, 4), np.full((3, 4), 0.5), np.ones((3, 4)), np.eye(3, 4, dtype=bool),
                                            np.eye(3, 4, 1, dtype=bool), np.tri(3, 4, 1, dtype=bool), 0.9, 0.8, 1, "cut", None, None, None, None, None, None],
                                   layer="trainer", float32=True, family="trainer layouts", outputs=2),
    "compute_grpo_advantages": Function('(rewards, baseline_type="mean", scale="group", *, std_ddof=0, epsilon=1e-08, std_floor=1e-08, out=None)',
                                        "mat str str int float float out", "Compute group-relative advantages of equal-size groups",
                                        lambda: [np.arange(12.0).reshape(3, 4) ** 2, "median", "batch", 0, 1e-8, 1e-8, None],
                                        layer="trainer", float32=True, family="trainer layouts"),
    "compute_grpo_advantages_ragged": Function('(rewards, group_lengths=None, baseline_type="mean", scale="group", *, group_ids=None, std_ddof=0, '
                                               'epsilon=1e-08, std_floor=1e-08, out=None)', "vec ivec str str ivec int float float out",
                                               "Compute group-relative advantages of groups of any sizes",
                                               lambda: [f64([1.0, 2.0, 4.0, 8.0, -1.0]), np.array([2, 0, 3]), "leave_one_out", "none", None, 0, 1e-8, 1e-8, None],
                                               layer="trainer", float32=True, family="trainer layouts"),
    "compute_masked_whitening": Function('(values, mask=None, *, std_ddof=1, count_epsilon=1e-08, epsilon=1e-08, shift_mean=True, '
                                         'unmasked="whitened", float32_counts=False, out=None)', "mat flags int float float bool str bool out",
                                         "Whiten values with the mean and variance of their masked elements",
                                         lambda: [np.arange(12.0).reshape(3, 4) ** 2, np.tri(3, 4, 1, dtype=bool), 1, 1e-8, 1e-8, False, "times_mask", True, None],
                                         layer="trainer", float32=True, family="trainer layouts"),
    "compute_masked_returns": Function('(rewards, mask=None, gamma=0.99, *, mask_mode="cut", out=None)', "mat flags float str out",
                                       "Compute discounted returns over a padded batch with a mask",
                                       lambda: [np.arange(12.0).reshape(3, 4), np.tri(3, 4, 1, dtype=np.int64), 0.9, "skip", None],
                                       layer="trainer", float32=True, family="trainer layouts"),
    "broadcast_row_values": Function("(values, mask, *, out=None)", "vec flags out", "Spread one value per row along a mask: values[i] * mask[i, j]",
                                     lambda: [f64([1.5, -2.0, 0.25]), np.tri(3, 4, 1, dtype=np.int32), None],
                                     layer="trainer", float32=True, family="trainer layouts"),
    "compute_kl_penalty": Function('(logprob, ref_logprob, estimator="k1", mask=None, *, rewards=None, beta=1.0, out=None)',
                                   "mat mat str flags mat float out", "Compute per-token KL estimates, or rewards minus beta times them",
                                   lambda: [-np.arange(12.0).reshape(3, 4) / 4, -np.arange(12.0)[::-1].reshape(3, 4) / 4, "k3",
                                            np.tri(3, 4, 1, dtype=bool), np.ones((3, 4)), 0.1, None],
                                   layer="trainer", float32=True, family="policy objectives", libm=True),
    "runtime_info": Function("()", "", "What this process runs with: version, instruction-set path, worker pool size and how it was decided",
                             lambda: [], layer="trainer", kernel=False, adapted=False),
}
def _vec(rng, n, special=0.2):
    x = rng.normal(size=n)
    x[rng.random(n) < special] = rng.choice([0.0, -0.0, np.nan, np.inf, -np.inf, 1e-300], size=1)[0]
    return x


# Sizes around every lane count (2, 4, 8 doubles) and past the pool's serial threshold; only exactly
# rounded operations make the inputs (NumPy's exp rounds differently from one processor to another).
LARGE = {
    "compute_group_advantages": lambda rng: [_vec(rng, 3003 * 9).reshape(3003, 9), "median", True],
    "compute_gae": lambda rng: [_vec(rng, 4099), _vec(rng, 4100), 0.97, 0.9],
    "batch_compute_gae": lambda rng: [[_vec(rng, k) for k in rng.integers(0, 300, 601)], [_vec(rng, k) for k in rng.integers(0, 301, 601)], 0.97, 0.9],
    "normalize_rewards": lambda rng: [_vec(rng, 100_003, 0.0), 0.5, 2.0, 7, 1e-8],
    "clip_rewards_py": lambda rng: [_vec(rng, 100_003), -0.5, 0.5],
    "compute_gspo_importance_ratios": lambda rng: [_vec(rng, 100_003) * 20, _vec(rng, 100_003) * 20, rng.integers(-2, 60, 100_003)],
    "apply_gspo_clipping": lambda rng: [1.0 + _vec(rng, 200_003) / 16, _vec(rng, 200_003), 0.0003, 0.0004],
    "compute_ppo_surrogate": lambda rng: [1.0 + _vec(rng, 200_003) / 16, _vec(rng, 200_003), 0.2],
    "compute_reward_statistics": lambda rng: [np.nan_to_num(_vec(rng, 10_001), nan=0.5)],
    "compute_padded_gae": lambda rng: [_vec(rng, 301 * 700).reshape(301, 700), _vec(rng, 301 * 700).reshape(301, 700),
                                       _vec(rng, 301 * 700).reshape(301, 700)] + [rng.random((301, 700)) < p for p in (0.01, 0.01, 0.9)] + [0.99, 0.95],
    "compute_grpo_advantages": lambda rng: [_vec(rng, 3001 * 17).reshape(3001, 17), "leave_one_out", "group"],
    "compute_grpo_advantages_ragged": lambda rng: [_vec(rng, 30_000), np.diff(np.concatenate([[0], np.sort(rng.integers(0, 30_001, 2999)), [30_000]])), "median", "batch"],
    "compute_masked_whitening": lambda rng: [_vec(rng, 301 * 4500).reshape(301, 4500), rng.random((301, 4500)) < 0.9],
    "compute_masked_returns": lambda rng: [_vec(rng, 301 * 700).reshape(301, 700), rng.random((301, 700)) < 0.9, 0.97],
    "broadcast_row_values": lambda rng: [_vec(rng, 301), rng.random((301, 4500)) < 0.9],
    "compute_kl_penalty": lambda rng: [_vec(rng, 301 * 700).reshape(301, 700), _vec(rng, 301 * 700).reshape(301, 700), "k3",
                                       rng.random((301, 700)) < 0.9],
}
REGISTRY = {n: Function(**{**f.__dict__, "large": LARGE.get(n)}) for n, f in REGISTRY.items()}

ALL = list(REGISTRY)  # every public function, in the order of __all__
KERNELS = [n for n, f in REGISTRY.items() if f.kernel]
NAMES = [n for n, f in REGISTRY.items() if f.layer == "core"]  # the nine: their frozen conversions and messages
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
