"""Dispatch cost of the parallel map: the time of one parallel call, small enough for the pool's
hand-over to matter.

    python bench/dispatch.py [--threads 2] [--repeats 40] [--json OUT]

Each thread count runs in its own interpreter (RAYON_NUM_THREADS). Two ways of calling:
  back-to-back  blocks of calls in a row (workers still awake from the previous call): the
                per-call time of a block, minimum and median over the blocks;
  after idle    one call after 3 ms of sleep (workers asleep): minimum and median over calls.
Minima are the figures to compare across builds; on a shared machine medians drift with load.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys

CHILD = r"""
import json, statistics, sys, time
import numpy as np
import quorvale_rl_core as q

repeats = int(sys.argv[1])
rng = np.random.default_rng(3)
def ppo(n):
    r, a = np.exp(rng.normal(0, 0.1, n)), rng.normal(size=n)
    return lambda: q.compute_ppo_surrogate(r, a, 0.2)
rewards = [rng.normal(size=256) for _ in range(64)]
values = [rng.normal(size=257) for _ in range(64)]
groups = rng.normal(size=(512, 16))
empty = np.zeros(0)
CASES = {
    "empty parallel call": lambda: q.compute_ppo_surrogate(empty, empty),
    "ppo n=4096": ppo(4096),
    "ppo n=65536": ppo(65536),
    "batch gae 64x256": lambda: q.batch_compute_gae(rewards, values, 0.99, 0.95),
    "group adv 512x16 mean": lambda: q.compute_group_advantages(groups, "mean", True),
}
out = {}
for name, fn in CASES.items():
    fn()
    t0 = time.perf_counter_ns(); fn(); one = time.perf_counter_ns() - t0
    inner = max(1, min(2000, int(2e6 / max(one, 1))))  # blocks of about 2 ms
    blocks = []
    for _ in range(repeats):
        t0 = time.perf_counter_ns()
        for _ in range(inner):
            fn()
        blocks.append((time.perf_counter_ns() - t0) / inner)
    idle = []
    for _ in range(repeats):
        time.sleep(0.003)
        t0 = time.perf_counter_ns(); fn(); idle.append(time.perf_counter_ns() - t0)
    out[name] = {"b2b_min": min(blocks), "b2b_median": statistics.median(blocks),
                 "idle_min": min(idle), "idle_median": statistics.median(idle)}
print(json.dumps(out))
"""


def run(threads: str, repeats: int) -> dict:
    env = dict(os.environ, RAYON_NUM_THREADS=threads, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
    proc = subprocess.run([sys.executable, "-c", CHILD, str(repeats)], env=env, capture_output=True, text=True, check=True)
    return json.loads(proc.stdout)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--threads", default="2", help="comma-separated RAYON_NUM_THREADS values (default 2)")
    parser.add_argument("--repeats", type=int, default=40)
    parser.add_argument("--rounds", type=int, default=3, help="interpreters per thread count; minima over all")
    parser.add_argument("--json", help="write the figures to this file")
    args = parser.parse_args()
    results = {}
    for threads in args.threads.split(","):
        rounds = [run(threads, args.repeats) for _ in range(args.rounds)]
        results[threads] = {
            case: {k: (min if k.endswith("min") else sorted)([r[case][k] for r in rounds]) for k in rounds[0][case]}
            for case in rounds[0]
        }
        for figures in results[threads].values():
            for k in ("b2b_median", "idle_median"):
                figures[k] = figures[k][len(figures[k]) // 2]
    print(f"{'threads':>7}  {'case':<24} {'b2b min':>9} {'b2b med':>9} {'idle min':>9} {'idle med':>9}  (microseconds)")
    for threads, cases in results.items():
        for case, f in cases.items():
            print(f"{threads:>7}  {case:<24} {f['b2b_min'] / 1e3:9.2f} {f['b2b_median'] / 1e3:9.2f}"
                  f" {f['idle_min'] / 1e3:9.2f} {f['idle_median'] / 1e3:9.2f}")
    if args.json:
        with open(args.json, "w") as file:
            json.dump(results, file, indent=1)


if __name__ == "__main__":
    main()
