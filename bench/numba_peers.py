"""The kernels a user would hand-write with numba instead of calling us: a serial @njit loop and,
where the job parallelises, a prange loop; `pick` times both and keeps the faster.  Also the
floors of two sequential jobs: the C library's exp alone, and the dependent chain of the running
mean's ordered update."""

from __future__ import annotations

import ctypes
import ctypes.util
import math
import time

import numpy as np
from numba import njit, prange

_libm = ctypes.CDLL(ctypes.util.find_library("m"))
_c_exp = _libm.exp
_c_exp.restype = ctypes.c_double
_c_exp.argtypes = [ctypes.c_double]


@njit(cache=True)
def _ppo_serial(r, a, lo, hi):
    n = min(r.size, a.size)
    out = np.empty(n)
    for i in range(n):
        c = min(max(r[i], lo), hi)
        out[i] = min(r[i] * a[i], c * a[i])
    return out


@njit(cache=True, parallel=True)
def _ppo_parallel(r, a, lo, hi):
    n = min(r.size, a.size)
    out = np.empty(n)
    for i in prange(n):
        c = min(max(r[i], lo), hi)
        out[i] = min(r[i] * a[i], c * a[i])
    return out


@njit(cache=True)
def _ratios_serial(new, old, lengths):
    out = np.empty(new.size)
    for i in range(new.size):
        out[i] = math.exp((new[i] - old[i]) / lengths[i]) if lengths[i] > 0 else 1.0
    return out


@njit(cache=True, parallel=True)
def _ratios_parallel(new, old, lengths):
    out = np.empty(new.size)
    for i in prange(new.size):
        out[i] = math.exp((new[i] - old[i]) / lengths[i]) if lengths[i] > 0 else 1.0
    return out


@njit(cache=True)
def _clamp_serial(x, lo, hi):
    out = np.empty(x.size)
    for i in range(x.size):
        out[i] = min(max(x[i], lo), hi)
    return out


@njit(cache=True, parallel=True)
def _clamp_parallel(x, lo, hi):
    out = np.empty(x.size)
    for i in prange(x.size):
        out[i] = min(max(x[i], lo), hi)
    return out


def ppo(variant):
    return lambda r, a, e: variant(r, a, 1 - e, 1 + e)


def gspo_clip(variant):
    return lambda r, a, lo, hi: variant(r, a, 1 - lo, 1 + hi)


@njit(cache=True)
def _welford(x, mean, var, count):
    m2 = var * count
    k = count + 1
    for i in range(x.size):
        d = x[i] - mean
        mean = mean + d / k
        m2 = m2 + d * (x[i] - mean)
        k += 1
    total = count + x.size
    return mean, m2 / total if total >= 2 else 0.0, total


@njit(cache=True)
def _normalize_serial(x, mean, var, count, eps):
    mean, var, total = _welford(x, mean, var, count)
    scale = math.sqrt(eps + var)
    out = np.empty(x.size)
    for i in range(x.size):
        out[i] = (x[i] - mean) / scale
    return out, mean, var, total


@njit(cache=True, parallel=True)
def _normalize_parallel(x, mean, var, count, eps):
    mean, var, total = _welford(x, mean, var, count)
    scale = math.sqrt(eps + var)
    out = np.empty(x.size)
    for i in prange(x.size):
        out[i] = (x[i] - mean) / scale
    return out, mean, var, total


@njit(inline="always")
def _group(x, out, g, kind, normalize):
    n = x.shape[1]
    row = x[g]
    if kind == 1:
        b = np.median(row)
    elif kind == 2:
        b = row.min()
    else:
        b = row.sum() / n
    a = out[g * n:(g + 1) * n]
    for j in range(n):
        a[j] = row[j] - b
    if normalize and n >= 2:
        mu = a.sum() / n
        s = 0.0
        for j in range(n):
            s += (a[j] - mu) ** 2
        sigma = math.sqrt(s / n)
        if sigma > 1e-8:
            for j in range(n):
                a[j] = (a[j] - mu) / (sigma + 1e-8)


@njit(cache=True)
def _groups_serial(x, kind, normalize):
    out = np.empty(x.size)
    for g in range(x.shape[0]):
        _group(x, out, g, kind, normalize)
    return out


@njit(cache=True, parallel=True)
def _groups_parallel(x, kind, normalize):
    out = np.empty(x.size)
    for g in prange(x.shape[0]):
        _group(x, out, g, kind, normalize)
    return out


KINDS = {"mean": 0, "median": 1, "min": 2}


def group(variant):
    return lambda x, baseline, normalize: variant(x, KINDS[baseline], normalize)


@njit(cache=True)
def gae(rewards, values, gamma, lam):
    out = np.empty(rewards.size)
    last = 0.0
    for t in range(rewards.size - 1, -1, -1):
        last = (gamma * values[t + 1] + rewards[t]) - values[t] + gamma * lam * last
        out[t] = last
    return out


@njit(inline="always")
def _gae_row(r, v, out, b, gamma, lam):
    last = 0.0
    for t in range(r.shape[1] - 1, -1, -1):
        last = (gamma * v[b, t + 1] + r[b, t]) - v[b, t] + gamma * lam * last
        out[b, t] = last


@njit(cache=True)
def _batch_serial(r, v, gamma, lam):
    out = np.empty_like(r)
    for b in range(r.shape[0]):
        _gae_row(r, v, out, b, gamma, lam)
    return out


@njit(cache=True, parallel=True)
def _batch_parallel(r, v, gamma, lam):
    out = np.empty_like(r)
    for b in prange(r.shape[0]):
        _gae_row(r, v, out, b, gamma, lam)
    return out


@njit(cache=True)
def _stats(x):
    return x.mean(), x.std(), x.min(), x.max(), np.median(x), float(x.size)


def stats(rewards):
    m = _stats(np.asarray(rewards, dtype=np.float64))
    return dict(zip(("mean", "std", "min", "max", "median", "count"), m))


# ---------------------------------------------------------------- floors

@njit(cache=True)
def _exp_loop(x, out):
    for i in range(x.size):
        out[i] = _c_exp(x[i])
    return out


def c_exp(new, old, lengths):
    """The C library's exp of every log-ratio, one thread, into a new array: what a ratio costs at least."""
    x = (new - old) / np.maximum(lengths, 1)
    return lambda: _exp_loop(x, np.empty(x.size))


@njit(cache=True)
def _mean_chain(x, mean, count):
    k = count + 1
    for i in range(x.size):
        mean = mean + (x[i] - mean) / k
        k += 1
    return mean


def welford_chain(x, mean, count):
    """The running mean's ordered update alone (subtract, divide, add, each waiting for the last)."""
    return lambda: _mean_chain(x, mean, count)


# ---------------------------------------------------------------- choosing the faster variant

def _best_time(fn, args, repeats=5):
    fn(*args)  # compiles
    best = math.inf
    for _ in range(repeats):
        t = time.perf_counter()
        fn(*args)
        best = min(best, time.perf_counter() - t)
    return best


def pick(variants: dict, args) -> tuple:
    """(name, function) of the faster of the variants on these arguments."""
    times = {name: _best_time(fn, args) for name, fn in variants.items()}
    name = min(times, key=times.get)
    return name, variants[name]


def peers_for(func: str, args):
    """{variant name: function} of the numba peer of one of our functions."""
    if func == "compute_ppo_surrogate":
        return {"serial": ppo(_ppo_serial), "prange": ppo(_ppo_parallel)}
    if func == "apply_gspo_clipping":
        return {"serial": gspo_clip(_ppo_serial), "prange": gspo_clip(_ppo_parallel)}
    if func == "compute_gspo_importance_ratios":
        return {"serial": _ratios_serial, "prange": _ratios_parallel}
    if func == "clip_rewards_py":
        return {"serial": _clamp_serial, "prange": _clamp_parallel}
    if func == "normalize_rewards":
        return {"serial": _normalize_serial, "prange": _normalize_parallel}
    if func == "compute_group_advantages":
        return {"serial": group(_groups_serial), "prange": group(_groups_parallel)}
    if func == "compute_gae":
        return {"serial": gae}
    if func == "batch_compute_gae":
        return {"serial": _batch_serial, "prange": _batch_parallel}
    if func == "compute_reward_statistics":
        return {"serial": stats}
    raise KeyError(func)
