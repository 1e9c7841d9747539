"""The trainer-layer functions on trainers' own float32 buffers, against what a user would write instead.

Each case runs in a fresh process per instruction-set path (QRL_CPU_FEATURES) and thread count
(RAYON_NUM_THREADS, numba.set_num_threads, jax on the same cores), and prints the fastest of
interleaved repeats, in milliseconds, and our speed-up over each peer (above 1: ours is faster):

  padded GAE, float32 rewards/values/dones into preallocated float32 results (ours: out=), against a
  numba loop with the same semantics (float64 arithmetic, advantages and returns) and a numba loop that
  computes less (float32 arithmetic, advantages only, as pufferlib's native kernel does);
  leave-one-out advantages without scaling, against a plain numba loop giving the same bits;
  mean baseline with per-group standardisation, against a jax.jit function over float32;
  the same over groups labelled by a uid per sample in any order (unbiased std, epsilon 1e-6, as verl
  groups), against a numba loop over the labels.

    python bench/buffers.py [--paths baseline,avx2,avx512] [--threads 1,2] [--repeats 30]
"""
import argparse
import json
import os
import subprocess
import sys
import textwrap

CASE = textwrap.dedent(r"""
    import json, os, sys, time
    import numpy as np
    import numba
    import quorvale_rl_core as q
    threads = int(os.environ["RAYON_NUM_THREADS"])
    numba.set_num_threads(threads)
    repeats = int(sys.argv[1])

    @numba.njit(parallel=True)
    def gae_same_semantics(r, v, nv, d, adv, ret, gamma, lam):
        c = gamma * lam
        for b in numba.prange(r.shape[0]):
            g = 0.0
            for t in range(r.shape[1] - 1, -1, -1):
                done = d[b, t] != 0
                nxt = 0.0 if done else np.float64(nv[b, t])
                delta = (gamma * nxt + np.float64(r[b, t])) - np.float64(v[b, t])
                g = c * (0.0 if done else g) + delta
                adv[b, t] = g
                ret[b, t] = g + np.float64(v[b, t])

    @numba.njit(parallel=True)
    def gae_float32_advantages_only(r, v, d, adv, gamma, lam):
        c = np.float32(gamma * lam)
        g32 = np.float32(gamma)
        for b in numba.prange(r.shape[0]):
            g = np.float32(0.0)
            for t in range(r.shape[1] - 2, -1, -1):
                nnt = np.float32(1.0) - d[b, t + 1]
                delta = r[b, t + 1] + g32 * v[b, t + 1] * nnt - v[b, t]
                g = delta + c * nnt * g
                adv[b, t] = g

    @numba.njit(parallel=True)
    def leave_one_out(x, out):
        n = x.shape[1]
        for i in numba.prange(x.shape[0]):
            s = -0.0
            for j in range(n):
                s = s + x[i, j]
            for j in range(n):
                out[i, j] = x[i, j] - (s - x[i, j]) / (n - 1)

    def best(f):
        f()
        times = []
        for _ in range(repeats):
            t0 = time.perf_counter(); f(); times.append(time.perf_counter() - t0)
        return min(times) * 1e3

    rows = []
    rng = np.random.default_rng(0)
    for shape in ((256, 1024), (1024, 2048)):
        r, v, nv = (rng.standard_normal(shape).astype(np.float32) for _ in range(3))
        d = (rng.random(shape) < 0.01).astype(np.float32)
        adv, ret = np.empty(shape, np.float32), np.empty(shape, np.float32)
        ours = best(lambda: q.compute_padded_gae(r, v, nv, d, out=(adv, ret)))
        same = best(lambda: gae_same_semantics(r, v, nv, d, adv, ret, 0.99, 0.95))
        less = best(lambda: gae_float32_advantages_only(r, v, d, adv, 0.99, 0.95))
        rows.append(("padded GAE float32 out= %dx%d" % shape, ours, {"numba, same semantics": same,
                                                                   "numba float32 advantages only": less}))
    import jax, jax.numpy as jnp
    jax.config.update("jax_platforms", "cpu")

    @jax.jit
    def jax_mean_std(x):
        a = x - x.mean(axis=1, keepdims=True)
        s = a.std(axis=1, keepdims=True)
        return (a - a.mean(axis=1, keepdims=True)) / (s + 1e-8)

    for shape in ((64, 16), (512, 16), (4096, 64)):
        x = rng.standard_normal(shape)
        out = np.empty(shape)
        ours = best(lambda: q.compute_grpo_advantages(x, "leave_one_out", "none", out=out))
        peer = best(lambda: leave_one_out(x, out))
        rows.append(("leave-one-out float64 %dx%d" % shape, ours, {"numba loop": peer}))
        x32 = x.astype(np.float32)
        out32 = np.empty(shape, np.float32)
        ours = best(lambda: q.compute_grpo_advantages(x32, "mean", "group", out=out32))
        jx = jnp.asarray(x32)
        peer = best(lambda: np.asarray(jax_mean_std(jnp.asarray(x32)).block_until_ready()))
        rows.append(("mean+std float32 %dx%d" % shape, ours, {"jax.jit (array in and out)": peer}))

    @numba.njit
    def labelled_mean_std(x, ids, groups, out, eps):
        sums, counts, squares = np.zeros(groups), np.zeros(groups), np.zeros(groups)
        for i in range(x.size):
            sums[ids[i]] += x[i]
            counts[ids[i]] += 1.0
        means = sums / counts
        for i in range(x.size):
            d = x[i] - means[ids[i]]
            squares[ids[i]] += d * d
        stds = np.sqrt(squares / (counts - 1.0))
        for i in range(x.size):
            out[i] = (x[i] - means[ids[i]]) / (stds[ids[i]] + eps)

    for groups, members in ((1024, 16), (4096, 64)):
        ids = rng.permutation(np.repeat(np.arange(groups), members))
        x = rng.standard_normal(ids.size)
        out = np.empty(ids.size)
        call = lambda: q.compute_grpo_advantages_ragged(x, None, "mean", "group", group_ids=ids, std_ddof=1,
                                                        epsilon=1e-6, out=out)
        call()
        theirs = np.empty(ids.size)
        labelled_mean_std(x, ids, groups, theirs, 1e-6)
        assert np.allclose(out, theirs, rtol=1e-9, atol=1e-12)
        rows.append(("uid-labelled mean+std float64 %dx%d" % (groups, members), best(call),
                     {"numba loop": best(lambda: labelled_mean_std(x, ids, groups, theirs, 1e-6))}))
    print(json.dumps(rows))
""")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--paths", default="baseline,avx2,avx512")
    parser.add_argument("--threads", default="1,2")
    parser.add_argument("--repeats", type=int, default=30)
    args = parser.parse_args()
    for path in args.paths.split(","):
        for threads in args.threads.split(","):
            env = dict(os.environ, QRL_CPU_FEATURES=path, RAYON_NUM_THREADS=threads, NUMBA_NUM_THREADS=threads,
                       XLA_FLAGS=f"--xla_cpu_multi_thread_eigen={'true' if threads != '1' else 'false'}")
            out = subprocess.run([sys.executable, "-c", CASE, str(args.repeats)], env=env, capture_output=True,
                                 text=True, check=True).stdout
            print(f"\n## {path}, {threads} thread(s)\n")
            print("| case | ours (ms) | peer | peer (ms) | speed-up |")
            print("|---|---|---|---|---|")
            for name, ours, peers in json.loads(out.splitlines()[-1]):
                for peer, t in peers.items():
                    print(f"| {name} | {ours:.3f} | {peer} | {t:.3f} | {t / ours:.2f}x |")


if __name__ == "__main__":
    main()
