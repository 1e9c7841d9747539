"""Trainer-shaped kernels side by side with the code trainers write: NumPy, a torch time loop, numba loops.

    python bench/trainer_bench.py [--quick] [--repeat N]

Each figure is the minimum over 3 rounds x N repeats (default 7) of the mean time of a batch of calls, the
batch sized to last about 20 ms; the implementations take turns round by round, so that warm-up, the
allocator's state and bursts of load from other processes fall on all of them alike (a machine shared with
other work shows its best undisturbed run). Peers that are not
installed (torch, numba) are left out. Every peer is checked against the module first (same semantics;
bitwise where it runs the same operations) so that no row times a different computation. Threads: the
module's pool and torch use every core, the serial numba loops one, the prange loops every core.
"""

import argparse
import os
import sys
import time

import numpy as np

import quorvale_rl_core as q

try:
    import torch
except ImportError:
    torch = None
try:
    import numba
except ImportError:
    numba = None


def best(f, repeat, target=0.02):
    f()
    number, elapsed = 1, 0.0
    while True:
        start = time.perf_counter()
        for _ in range(number):
            f()
        elapsed = time.perf_counter() - start
        if elapsed >= target or number >= 1 << 20:
            break
        number *= 2
    times = [elapsed / number]
    for _ in range(repeat - 1):
        start = time.perf_counter()
        for _ in range(number):
            f()
        times.append((time.perf_counter() - start) / number)
    return min(times)


def race(contestants, repeat, rounds=3):
    """Each contestant's best time, the contestants taking turns over several rounds (so that warm-up,
    allocator state and bursts of load from other processes fall on all of them alike)."""
    times = {name: float("inf") for name in contestants}
    for _ in range(rounds):
        for name, f in contestants.items():
            times[name] = min(times[name], best(f, repeat))
    return times


def fmt(seconds):
    return f"{seconds * 1e6:10.1f} us" if seconds < 1e-2 else f"{seconds * 1e3:10.2f} ms"


def table(title, rows, ours="quorvale_rl_core"):
    print(f"\n### {title}\n")
    print(f"| {'implementation':34} | {'time':>13} | {'ours faster by':>14} |")
    print(f"|{'-' * 36}|{'-' * 15}|{'-' * 16}|")
    base = rows[ours]
    for name, t in rows.items():
        print(f"| {name:34} | {fmt(t):>13} | {t / base:13.1f}x |")


# ---------------------------------------------------------------- padded GAE


def padded_batch(rows, steps, seed=0):
    rng = np.random.default_rng(seed)
    rewards, values = rng.normal(size=(rows, steps)), rng.normal(size=(rows, steps))
    next_values = np.concatenate([values[:, 1:], rng.normal(size=(rows, 1))], axis=1)
    dones = rng.random((rows, steps)) < 0.01
    truncated = np.zeros((rows, steps), bool)
    mask = np.arange(steps)[None, :] < rng.integers(steps // 2, steps + 1, size=(rows, 1))
    return rewards, values, next_values, dones, truncated, mask


def gae_numpy(r, v, nv, dones, truncated, mask, gamma, lam):
    """The time loop over columns, vectorised over the batch (as trainers write it in NumPy)."""
    adv = np.zeros_like(r)
    g = np.zeros(r.shape[0])
    keep_next, cut = 1.0 - dones, 1.0 - (dones | truncated)
    real = mask.astype(np.float64)
    for t in range(r.shape[1] - 1, -1, -1):
        delta = gamma * nv[:, t] * keep_next[:, t] + r[:, t] - v[:, t]
        g = (delta + gamma * lam * cut[:, t] * g) * real[:, t]
        adv[:, t] = g
    return adv, (adv + v) * real


def gae_torch(r, v, nv, dones, truncated, mask, gamma, lam):
    """The torch time loop of the large trainers (CleanRL / verl / TRL shape)."""
    T = r.shape[1]
    adv = torch.zeros_like(r)
    g = torch.zeros_like(r[:, 0])
    keep_next, cut = (~dones).to(r.dtype), (~(dones | truncated)).to(r.dtype)
    real = mask.to(r.dtype)
    for t in reversed(range(T)):
        delta = r[:, t] + gamma * nv[:, t] * keep_next[:, t] - v[:, t]
        g = (delta + gamma * lam * cut[:, t] * g) * real[:, t]
        adv[:, t] = g
    return adv, (adv + v) * real


def gae_numba_source(parallel):
    loop = numba.prange if parallel else range

    def gae(r, v, nv, dones, truncated, mask, gamma, lam):
        rows, steps = r.shape
        adv, ret = np.empty_like(r), np.empty_like(r)
        c = gamma * lam
        for b in loop(rows):
            g = 0.0
            for t in range(steps - 1, -1, -1):
                if not mask[b, t]:
                    adv[b, t] = 0.0
                    ret[b, t] = 0.0
                    g = 0.0
                    continue
                done = dones[b, t]
                nxt = 0.0 if done else nv[b, t]
                delta = (gamma * nxt + r[b, t]) - v[b, t]
                if done or truncated[b, t]:
                    g = 0.0
                g = c * g + delta
                adv[b, t] = g
                ret[b, t] = g + v[b, t]
        return adv, ret

    return numba.njit(parallel=parallel, fastmath=False)(gae)


def bench_gae(repeat, quick):
    rows, steps = (64, 256) if quick else (256, 1024)
    batch = padded_batch(rows, steps)
    gamma, lam = 0.99, 0.95
    ours = q.compute_padded_gae(*batch, gamma, lam)
    contestants = {"quorvale_rl_core": lambda: q.compute_padded_gae(*batch, gamma, lam)}
    assert np.allclose(gae_numpy(*batch, gamma, lam)[0], ours[0], atol=1e-9)
    contestants["numpy time loop"] = lambda: gae_numpy(*batch, gamma, lam)
    if numba is not None:
        for parallel, name in ((False, "numba loop"), (True, "numba prange loop")):
            f = gae_numba_source(parallel)
            got = f(*batch, gamma, lam)
            assert all(np.array_equal(a, b) for a, b in zip(got, ours)), name  # the same operations, the same bits
            contestants[name] = lambda f=f: f(*batch, gamma, lam)
    if torch is not None:
        t = [torch.from_numpy(a) for a in batch]
        assert np.allclose(gae_torch(*t, gamma, lam)[0].numpy(), ours[0], atol=1e-9)
        contestants["torch time loop (float64)"] = lambda: gae_torch(*t, gamma, lam)
        t32 = [a.float() if a.is_floating_point() else a for a in t]
        contestants["torch time loop (float32)"] = lambda: gae_torch(*t32, gamma, lam)
    timings = race(contestants, repeat)
    table(f"Padded GAE {rows}x{steps}, 1% dones, right padding", timings)
    return timings


# ---------------------------------------------------------------- group baselines


def group_numpy(r, baseline):
    if baseline == "mean":
        a = r - r.mean(axis=1, keepdims=True)
    elif baseline == "median":
        a = r - np.median(r, axis=1, keepdims=True)
    elif baseline == "min":
        a = r - r.min(axis=1, keepdims=True)
    else:
        n = r.shape[1]
        a = r - (r.sum(axis=1, keepdims=True) - r) / (n - 1)
    mu, sigma = a.mean(axis=1, keepdims=True), a.std(axis=1, keepdims=True)
    return np.where(sigma > 1e-8, (a - mu) / (sigma + 1e-8), a)


def group_torch(r, baseline):
    if baseline == "mean":
        a = r - r.mean(dim=1, keepdim=True)
    elif baseline == "median":
        a = r - r.median(dim=1, keepdim=True).values
    elif baseline == "min":
        a = r - r.min(dim=1, keepdim=True).values
    else:
        n = r.shape[1]
        a = r - (r.sum(dim=1, keepdim=True) - r) / (n - 1)
    mu, sigma = a.mean(dim=1, keepdim=True), a.std(dim=1, unbiased=False, keepdim=True)
    return torch.where(sigma > 1e-8, (a - mu) / (sigma + 1e-8), a)


def group_numba_source(baseline, parallel):
    loop = numba.prange if parallel else range
    kind = ["mean", "median", "min", "leave_one_out"].index(baseline)

    def groups(r):
        m, n = r.shape
        out = np.empty_like(r)
        for i in loop(m):
            a = out[i]
            s = -0.0
            for j in range(n):
                s += r[i, j]
            if kind == 0:
                b = s / n
                for j in range(n):
                    a[j] = r[i, j] - b
            elif kind == 1:
                b = np.median(r[i])
                for j in range(n):
                    a[j] = r[i, j] - b
            elif kind == 2:
                b = np.inf
                for j in range(n):
                    b = min(b, r[i, j])
                for j in range(n):
                    a[j] = r[i, j] - b
            else:
                for j in range(n):
                    a[j] = r[i, j] - (s - r[i, j]) / (n - 1)
            mu = -0.0
            for j in range(n):
                mu += a[j]
            mu /= n
            v = -0.0
            for j in range(n):
                v += (a[j] - mu) * (a[j] - mu)
            sigma = np.sqrt(v / n)
            if sigma > 1e-8:
                for j in range(n):
                    a[j] = (a[j] - mu) / (sigma + 1e-8)
        return out

    return numba.njit(parallel=parallel, fastmath=False)(groups)


def bench_groups(repeat, quick):
    sizes = [(16, 8), (64, 16)] if quick else [(16, 8), (64, 16), (1024, 16), (4096, 64), (256, 1024)]
    baselines = ["mean", "median", "leave_one_out"] if quick else ["mean", "median", "min", "leave_one_out"]
    results = {}
    numba_functions = {}
    for shape in sizes:
        r = np.random.default_rng(1).normal(size=shape).round(2)
        for baseline in baselines:
            ours = q.compute_grpo_advantages(r, baseline)
            contestants = {"quorvale_rl_core": lambda: q.compute_grpo_advantages(r, baseline)}
            if baseline != "median":  # NumPy, torch and numba take their own medians (torch: the lower one)
                assert np.allclose(group_numpy(r, baseline), ours, atol=1e-9)
            contestants["numpy"] = lambda: group_numpy(r, baseline)
            if torch is not None:
                t = torch.from_numpy(r)
                contestants["torch"] = lambda: group_torch(t, baseline)
            if numba is not None:
                for parallel, name in ((False, "numba loop"), (True, "numba prange loop")):
                    key = (baseline, parallel)
                    if key not in numba_functions:
                        numba_functions[key] = group_numba_source(baseline, parallel)
                    f = numba_functions[key]
                    if baseline in ("mean", "min", "leave_one_out"):
                        assert np.array_equal(f(r), ours), (name, baseline)  # the same operations, the same bits
                    contestants[name] = lambda f=f: f(r)
            timings = race(contestants, repeat)
            table(f"Group advantages {shape[0]}x{shape[1]}, {baseline} baseline, per-group standardisation", timings)
            results[(shape, baseline)] = timings
    return results


# ---------------------------------------------------------------- torch adapter


def bench_adapter(repeat, quick):
    """The adapter's own work (tensor -> array views, arrays -> tensors) against one conversion of every
    argument and result: `to(float64)` of each float input and `to(dtype)` of each result, or for float64
    (where the adapter converts nothing) a copy of each. Whole calls, adapter and core alternating, too."""
    if torch is None:
        print("\n(torch not installed: adapter overhead not measured)")
        return None
    import quorvale_rl_core_torch as qt

    rows, steps = (64, 256) if quick else (256, 1024)
    batch = padded_batch(rows, steps)
    results = q.compute_padded_gae(*batch)
    out = {}
    for dtype in (torch.float64, torch.float32):
        t = [torch.from_numpy(a).to(dtype) if a.dtype == np.float64 else torch.from_numpy(a) for a in batch]
        floats, flags = t[:3], t[3:]
        back = qt._like(t[0])
        if dtype == torch.float64:
            one_in, one_out = (lambda: [x.clone() for x in floats]), (lambda: [torch.from_numpy(r).clone() for r in results])
        else:
            one_in = lambda: [x.to(torch.float64) for x in floats]  # noqa: E731
            one_out = lambda: [torch.from_numpy(r).to(dtype) for r in results]  # noqa: E731
        times = race({
            "adapter in": lambda: ([qt._floats(x, "x") for x in floats], [qt._flags(x, "f") for x in flags]),
            "one conversion in": one_in,
            "adapter out": lambda: [back(r) for r in results],
            "one conversion out": one_out,
            "core": lambda: q.compute_padded_gae(*batch),
            "adapter": lambda t=t: qt.compute_padded_gae(*t),
        }, repeat)
        figures = tuple(times.values())
        out[str(dtype).replace("torch.", "")] = figures
    print("\n### Torch adapter overhead, compute_padded_gae", f"{rows}x{steps}\n")
    print("| input dtype | adapter in | one conversion in | adapter out | one conversion out | core call | adapter call |")
    print("|---|---|---|---|---|---|---|")
    for name, figures in out.items():
        print(f"| {name} | " + " | ".join(fmt(x) for x in figures) + " |")
    return out


# ---------------------------------------------------------------- masked statistics, returns, broadcasts, KL


def bench_masked(repeat, quick):
    """The masked building blocks against the torch lines trainers write for them (float32, int64 masks)."""
    if torch is None:
        return None
    rows, steps = (64, 256) if quick else (1024, 2048)
    rng = np.random.default_rng(3)
    values = rng.standard_normal((rows, steps)).astype(np.float32)
    other = rng.standard_normal((rows, steps)).astype(np.float32)
    mask = (np.arange(steps) < rng.integers(steps // 8, steps + 1, (rows, 1))).astype(np.int64)
    tv, to, tm = torch.from_numpy(values), torch.from_numpy(other), torch.from_numpy(mask)

    def whiten_torch():  # verl's masked_whiten
        count = tm.sum() + 1e-8
        mean = (tv * tm).sum() / count
        variance = (((tv - mean) ** 2) * tm).sum() / count * (tm.sum() / (tm.sum() - 1))
        return (tv - mean) * torch.rsqrt(variance + 1e-8)

    def returns_torch():  # verl's REINFORCE++ loop
        out, running = torch.zeros_like(tv), 0.0
        for t in reversed(range(steps)):
            new = tv[:, t] + 0.99 * running
            out[:, t] = new * tm[:, t]
            running = new * tm[:, t] + running * (1 - tm[:, t])
        return out

    cases = [
        ("compute_masked_whitening", lambda: q.compute_masked_whitening(values, mask, float32_counts=True), whiten_torch),
        ("compute_masked_returns", lambda: q.compute_masked_returns(values, mask, 0.99, mask_mode="skip"), returns_torch),
        ("broadcast_row_values", lambda: q.broadcast_row_values(values[:, 0].copy(), mask), lambda: tv[:, :1] * tm),
        ("compute_kl_penalty k3", lambda: q.compute_kl_penalty(values, other, "k3", mask, rewards=values, beta=0.1),
         lambda: tv - 0.1 * (torch.clamp(torch.exp(torch.clamp(to - tv, -20, 20)) - torch.clamp(to - tv, -20, 20) - 1,
                                         -10, 10) * tm)),
    ]
    timings = {}
    for name, ours, theirs in cases:
        assert np.allclose(ours(), theirs().numpy(), rtol=1e-4, atol=1e-4, equal_nan=True), name
        found = race({"quorvale_rl_core": ours, "torch": theirs}, repeat)
        table(f"{name} {rows}x{steps} float32", found)
        timings[name] = found
    return timings


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="small sizes only (a smoke run)")
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()
    print(f"cores: {os.cpu_count()}, python {sys.version.split()[0]}, numpy {np.__version__}, "
          f"torch {torch.__version__ if torch else '-'}, numba {numba.__version__ if numba else '-'}")
    bench_gae(args.repeat, args.quick)
    bench_groups(args.repeat, args.quick)
    bench_masked(args.repeat, args.quick)
    bench_adapter(args.repeat, args.quick)


if __name__ == "__main__":
    main()
