"""Dispatch cost of the parallel map: the time of one parallel call, small enough for the pool's
hand-over to matter.

    python bench/dispatch.py [--threads 2] [--repeats 40] [--rounds 3] [--python LABEL=PATH ...] [--json OUT]

Each thread count runs in its own interpreter (RAYON_NUM_THREADS). --python compares builds: each
LABEL=PATH interpreter (with its own installed module) runs in turn, round by round, so that all of
them see the same load. Two ways of calling:
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


def run(python: str, threads: str, repeats: int) -> dict:
    env = dict(os.environ, RAYON_NUM_THREADS=threads, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
    proc = subprocess.run([python, "-c", CHILD, str(repeats)], env=env, capture_output=True, text=True, check=True)
    return json.loads(proc.stdout)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--threads", default="2", help="comma-separated RAYON_NUM_THREADS values (default 2)")
    parser.add_argument("--repeats", type=int, default=40)
    parser.add_argument("--rounds", type=int, default=3, help="interpreters per build and thread count; minima over all")
    parser.add_argument("--python", action="append", default=[], metavar="LABEL=PATH",
                        help="an interpreter to time (repeatable; default: this one)")
    parser.add_argument("--json", help="write the figures to this file")
    args = parser.parse_args()
    pythons = dict(p.split("=", 1) for p in args.python) or {"this": sys.executable}
    configs = [(label, threads) for threads in args.threads.split(",") for label in pythons]
    rounds = {config: [] for config in configs}
    for _ in range(args.rounds):
        for label, threads in configs:
            rounds[label, threads].append(run(pythons[label], threads, args.repeats))
    results = {}
    for (label, threads), runs in rounds.items():
        results[f"{label} {threads}"] = {
            case: {
                "b2b_min": min(r[case]["b2b_min"] for r in runs),
                "b2b_median": sorted(r[case]["b2b_median"] for r in runs)[len(runs) // 2],
                "idle_min": min(r[case]["idle_min"] for r in runs),
                "idle_median": sorted(r[case]["idle_median"] for r in runs)[len(runs) // 2],
            }
            for case in runs[0]
        }
    print(f"{'build threads':<14} {'case':<24} {'b2b min':>9} {'b2b med':>9} {'idle min':>9} {'idle med':>9}  (µs)")
    for config, cases in results.items():
        for case, f in cases.items():
            print(f"{config:<14} {case:<24} {f['b2b_min'] / 1e3:9.2f} {f['b2b_median'] / 1e3:9.2f}"
                  f" {f['idle_min'] / 1e3:9.2f} {f['idle_median'] / 1e3:9.2f}")
    if args.json:
        with open(args.json, "w") as file:
            json.dump(results, file, indent=1)


if __name__ == "__main__":
    main()
