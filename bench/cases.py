"""The benchmark cases: inputs, the code a user would write instead (the peers) and the sizes.

Each case gives the arguments of our call and a dict of peers, name -> (function, arguments).
Peers named "torch" get their NumPy arguments as tensors sharing the same memory, and run only
after `enable_torch()`; every case also gets the floor `np.add(a, b)` on as many elements (on its own
input arrays where it has float64 arrays of that size).
"""

from __future__ import annotations

import dataclasses
from typing import Any, Callable

import numpy as np
import scipy.signal

import quorvale_rl_core as ours

try:  # numba peers are optional: pip install numba
    import numba_peers
except ImportError:
    numba_peers = None

torch: Any = None

GAMMA, LAM = 0.99, 0.95
EPS_PPO = 0.2
CLIP_LOW, CLIP_HIGH = 0.0003, 0.0004
ELEMENTWISE_SIZES = (64, 4096, 262144, 4194304)
GROUP_SHAPES = ((8, 8), (64, 16), (512, 16), (4096, 64))
GAE_SIZES = (128, 2048, 65536)
BATCH_SHAPES = ((64, 256), (256, 1024))
STAT_SIZES = (1024, 100000)

# Peers that are NumPy code (what "faster than NumPy" is measured against), and the floor.
NUMPY_PEERS = ("numpy", "py loop", "lfilter", "np time-loop")
FLOOR = "np.add"
# Lower bounds of sequential jobs rather than peers: the C library's exp alone (GSPO ratios) and
# the dependent chain of the running mean's ordered update (normalize_rewards).
EXP_FLOOR, CHAIN_FLOOR = "libm exp", "chain limit"
FLOORS = (FLOOR, EXP_FLOOR, CHAIN_FLOOR)


def enable_torch() -> bool:
    global torch
    try:
        import torch as _torch
    except ImportError:
        return False
    torch = _torch
    return True


# ---------------------------------------------------------------- NumPy peers

def ppo_numpy(r, a, e):
    return np.minimum(r * a, np.clip(r, 1 - e, 1 + e) * a)


def gspo_clip_numpy(r, a, lo, hi):
    return np.minimum(r * a, np.clip(r, 1 - lo, 1 + hi) * a)


def gspo_ratios_numpy(new, old, lengths):
    return np.where(lengths > 0, np.exp((new - old) / np.maximum(lengths, 1)), 1.0)


def clip_numpy(x, lo, hi):
    return np.clip(x, lo, hi)


def normalize_numpy(x, mean, var, count, eps):
    # Batch moments merged into the running ones (parallel-variance merge).
    n = x.size
    batch_mean = x.mean()
    d = x - batch_mean
    batch_var = np.dot(d, d) / n
    delta = batch_mean - mean
    total = count + n
    new_mean = mean + delta * n / total
    new_var = (var * count + batch_var * n + delta * delta * count * n / total) / total
    y = x - new_mean
    y /= np.sqrt(new_var + eps)
    return y, float(new_mean), float(new_var), total


def group_numpy(x, baseline, normalize):
    if baseline == "median":
        b = np.median(x, axis=1, keepdims=True)
    elif baseline == "min":
        b = x.min(axis=1, keepdims=True)
    else:
        b = x.mean(axis=1, keepdims=True)
    a = x - b
    if normalize:
        d = a - a.mean(axis=1, keepdims=True)
        sd = np.sqrt(np.mean(d * d, axis=1, keepdims=True))
        a = np.where(sd > 1e-8, d / (sd + 1e-8), a)
    return a.ravel()


def stats_numpy(rewards):
    x = np.asarray(rewards, dtype=np.float64)
    return {"mean": float(x.mean()), "std": float(x.std()), "min": float(x.min()),
            "max": float(x.max()), "median": float(np.median(x)), "count": float(x.size)}


def gae_loop(rewards, values, gamma, lam):
    # Rollout-buffer style: one Python step per time step.
    adv = np.zeros_like(rewards)
    last = 0.0
    for t in reversed(range(len(rewards))):
        delta = rewards[t] + gamma * values[t + 1] - values[t]
        last = delta + gamma * lam * last
        adv[t] = last
    return adv


def gae_lfilter(rewards, values, gamma, lam):
    # Discounted cumulative sum of the deltas as a first-order IIR filter run backwards.
    deltas = rewards + gamma * values[1:] - values[:-1]
    return scipy.signal.lfilter([1.0], [1.0, -gamma * lam], deltas[::-1])[::-1]


def gae_time_loop(rewards, values, gamma, lam):
    # Equal-length trajectories as rows of (B, T): one vectorised step per time step.
    d = np.ascontiguousarray((rewards + gamma * values[:, 1:] - values[:, :-1]).T)
    c = gamma * lam
    for t in range(d.shape[0] - 2, -1, -1):
        d[t] += c * d[t + 1]
    return d.T


def each_trajectory(gae):
    return lambda rs, vs, gamma, lam: [gae(r, v, gamma, lam) for r, v in zip(rs, vs)]


# ---------------------------------------------------------------- torch peers (trainer style)

def ppo_torch(ratio, adv, e):
    surr1 = ratio * adv
    surr2 = ratio.clamp(1 - e, 1 + e) * adv
    return torch.min(surr1, surr2)


def gspo_clip_torch(ratio, adv, lo, hi):
    return torch.min(ratio * adv, torch.clamp(ratio, 1 - lo, 1 + hi) * adv)


def gspo_ratios_torch(new, old, lengths):
    log_ratio = (new - old) / lengths.clamp(min=1)
    return torch.where(lengths > 0, torch.exp(log_ratio), 1.0)


def clip_torch(x, lo, hi):
    return torch.clamp(x, lo, hi)


def normalize_torch(x, mean, var, count, eps):
    n = x.numel()
    batch_mean = x.mean()
    batch_var = x.var(unbiased=False)
    delta = batch_mean - mean
    total = count + n
    new_mean = mean + delta * n / total
    new_var = (var * count + batch_var * n + delta * delta * count * n / total) / total
    return (x - new_mean) / torch.sqrt(new_var + eps), new_mean.item(), new_var.item(), total


def group_torch(rewards, group_size, baseline, normalize):
    # Flat rewards viewed as (groups, members); per-row statistics repeated to the members.
    grouped = rewards.view(-1, group_size)
    if baseline == "median":
        b = grouped.quantile(0.5, dim=1)  # torch.median takes the lower middle value
    elif baseline == "min":
        b = grouped.min(dim=1).values
    else:
        b = grouped.mean(dim=1)
    adv = rewards - b.repeat_interleave(group_size)
    if normalize:
        g = adv.view(-1, group_size)
        mean = g.mean(dim=1).repeat_interleave(group_size)
        std = g.std(dim=1, unbiased=False).repeat_interleave(group_size)
        adv = torch.where(std > 1e-8, (adv - mean) / (std + 1e-8), adv)
    return adv


def stats_torch(rewards):
    t = torch.as_tensor(rewards, dtype=torch.float64)
    return {"mean": t.mean().item(), "std": t.std(unbiased=False).item(), "min": t.min().item(),
            "max": t.max().item(), "median": t.quantile(0.5).item(), "count": float(t.numel())}


def gae_torch(rewards, values, gamma, lam):
    # (B, T) rewards and (B, T + 1) values; a Python loop over time, stacked at the end.
    last = 0.0
    reversed_adv = []
    for t in reversed(range(rewards.shape[-1])):
        delta = rewards[:, t] + gamma * values[:, t + 1] - values[:, t]
        last = delta + gamma * lam * last
        reversed_adv.append(last)
    return torch.stack(reversed_adv[::-1], dim=1)


# ---------------------------------------------------------------- inputs per function

def _ratios(rng, n, spread):
    return np.exp(rng.normal(0.0, spread, n))


def make_ppo(rng, n):
    args = (_ratios(rng, n, 0.2), rng.normal(size=n), EPS_PPO)
    return args, {"numpy": (ppo_numpy, args), "torch": (ppo_torch, args)}


def make_gspo_clip(rng, n):
    args = (_ratios(rng, n, 1e-3), rng.normal(size=n), CLIP_LOW, CLIP_HIGH)
    return args, {"numpy": (gspo_clip_numpy, args), "torch": (gspo_clip_torch, args)}


def make_gspo_ratios(rng, n):
    old = -rng.uniform(1.0, 500.0, n)
    lengths = rng.integers(1, 1025, n, dtype=np.int64)
    lengths[rng.random(n) < 0.01] = 0
    args = (old + rng.normal(size=n), old, lengths)
    return args, {"numpy": (gspo_ratios_numpy, args), "torch": (gspo_ratios_torch, args)}


def make_clip(rng, n):
    args = (rng.normal(0.0, 2.0, n), -1.0, 1.0)
    return args, {"numpy": (clip_numpy, args), "torch": (clip_torch, args)}


def make_normalize(rng, n):
    args = (rng.normal(0.5, 2.0, n), 0.3, 1.7, 1000, 1e-8)
    return args, {"numpy": (normalize_numpy, args), "torch": (normalize_torch, args)}


def make_group(rng, shape, baseline, normalize):
    x = rng.normal(size=shape)
    args = (x, baseline, normalize)
    return args, {"numpy": (group_numpy, args),
                  "torch": (group_torch, (x.ravel(), shape[1], baseline, normalize))}


def make_gae(rng, n):
    r, v = rng.normal(size=n), rng.normal(size=n + 1)
    args = (r, v, GAMMA, LAM)
    return args, {"py loop": (gae_loop, args), "lfilter": (gae_lfilter, args),
                  "torch": (gae_torch, (r[None], v[None], GAMMA, LAM))}


def make_batch_gae(rng, shape):
    r, v = rng.normal(size=shape), rng.normal(size=(shape[0], shape[1] + 1))
    lists = ([row.copy() for row in r], [row.copy() for row in v], GAMMA, LAM)
    return lists, {"numba args": (r, v, GAMMA, LAM), "py loop": (each_trajectory(gae_loop), lists),
                   "lfilter": (each_trajectory(gae_lfilter), lists),
                   "np time-loop": (gae_time_loop, (r, v, GAMMA, LAM)),
                   "torch": (gae_torch, (r, v, GAMMA, LAM))}


def make_stats(rng, n, as_list):
    x = rng.normal(size=n)
    args = (x.tolist() if as_list else x,)
    return args, {"numpy": (stats_numpy, args), "torch": (stats_torch, args)}


# ---------------------------------------------------------------- the registry

@dataclasses.dataclass
class Case:
    func: str                  # our function's name
    size: str                  # size label, e.g. "4096" or "512x16"
    variant: str               # e.g. "median, norm" or "list"; "" when the function has one form
    n: int                     # number of elements (of the result, or of the input for statistics)
    build: Callable[[np.random.Generator], tuple]
    elementwise: bool = False
    largest: bool = False      # the largest size of its function
    numba_variant: str = ""    # the faster numba loop on this case: "serial" or "prange"

    @property
    def label(self) -> str:
        return f"{self.size} {self.variant}".strip()

    @property
    def small(self) -> bool:
        return self.n <= 4096

    @property
    def parallel(self) -> bool:
        return self.func in PARALLEL

    def make(self, seed: int, with_numba: bool = True):
        """(our function, our arguments, {peer: (function, arguments)}) with fresh inputs."""
        args, peers = self.build(np.random.default_rng(seed))
        numba_args = peers.pop("numba args", args)
        peers = {name: (fn, _as_tensors(a) if name == "torch" else a)
                 for name, (fn, a) in peers.items() if name != "torch" or torch is not None}
        if numba_peers is not None and with_numba:
            self.numba_variant, fn = numba_peers.pick(numba_peers.peers_for(self.func, numba_args), numba_args)
            peers["numba"] = (fn, numba_args)
        if numba_peers is not None:
            if self.func == "compute_gspo_importance_ratios":
                peers[EXP_FLOOR] = (numba_peers.c_exp(*args), ())
            if self.func == "normalize_rewards":
                peers[CHAIN_FLOOR] = (numba_peers.welford_chain(args[0], args[1], args[3]), ())
        # The floor reads the same input arrays as ours where the case has n-element float arrays:
        # where arrays sit relative to each other (cache sets, 4 KiB store/load aliasing) moves a
        # streaming loop's time by up to 1.5x, so different arrays would not compare like with like.
        inputs = [x for x in args if isinstance(x, np.ndarray) and x.dtype == np.float64 and x.size == self.n]
        if inputs:
            peers[FLOOR] = (np.add, (inputs[0], inputs[-1]))
        else:
            rng = np.random.default_rng(seed + 1)
            peers[FLOOR] = (np.add, (rng.normal(size=self.n), rng.normal(size=self.n)))
        return getattr(ours, self.func), args, peers


PARALLEL = ("batch_compute_gae", "compute_group_advantages", "compute_gspo_importance_ratios",
            "apply_gspo_clipping", "compute_ppo_surrogate")


def _as_tensors(args):
    return tuple(torch.from_numpy(a) if isinstance(a, np.ndarray) else a for a in args)


def _family(func, sizes, build, n_of=lambda s: s, label_of=str, variants=(("", ()),),
            elementwise=False):
    return [Case(func, label_of(s), vlabel, n_of(s),
                 lambda rng, s=s, v=vargs: build(rng, s, *v),
                 elementwise=elementwise, largest=(s == sizes[-1]))
            for s in sizes for vlabel, vargs in variants]


def _shape(s):
    return f"{s[0]}x{s[1]}"


GROUP_VARIANTS = tuple((f"{b}{', norm' if norm else ''}", (b, norm))
                       for b in ("mean", "median", "min") for norm in (True, False))

CASES: list[Case] = [
    *_family("compute_ppo_surrogate", ELEMENTWISE_SIZES, make_ppo, elementwise=True),
    *_family("apply_gspo_clipping", ELEMENTWISE_SIZES, make_gspo_clip, elementwise=True),
    *_family("compute_gspo_importance_ratios", ELEMENTWISE_SIZES, make_gspo_ratios,
             elementwise=True),
    *_family("clip_rewards_py", ELEMENTWISE_SIZES, make_clip, elementwise=True),
    *_family("normalize_rewards", ELEMENTWISE_SIZES, make_normalize, elementwise=True),
    *_family("compute_group_advantages", GROUP_SHAPES, make_group, n_of=lambda s: s[0] * s[1],
             label_of=_shape, variants=GROUP_VARIANTS),
    *_family("compute_gae", GAE_SIZES, make_gae),
    *_family("batch_compute_gae", BATCH_SHAPES, make_batch_gae, n_of=lambda s: s[0] * s[1],
             label_of=_shape),
    *_family("compute_reward_statistics", STAT_SIZES, make_stats,
             variants=(("list", (True,)), ("ndarray", (False,)))),
]
