"""Workers of a distributed trainer: each process sizes its own pool, and all give the same bits.

    python examples/distributed_workers.py [--ray]

Four multiprocessing workers (two forked, two spawned), each pinned to one CPU as a scheduler
would, compute the same GAE and group advantages and report their pool; with --ray (and Ray
installed), two Ray actors on a local two-CPU cluster do the same, with their pool size passed in
the actor's environment.  The results' digests must all match the parent's.
"""

import argparse
import hashlib
import importlib
import multiprocessing as mp
import os
import sys
from typing import Any

import numpy as np

import quorvale_rl_core as rl


def workload() -> str:
    """A digest of every result byte of a fixed batch."""
    rng = np.random.default_rng(3)
    rewards = [rng.normal(size=1 + (397 * i) % 2999) for i in range(64)]  # lengths 1 to 2999
    values = [rng.normal(size=len(r) + 1) for r in rewards]
    digest = hashlib.sha256()
    for advantages in rl.batch_compute_gae(rewards, values, 0.99, 0.95):
        digest.update(advantages.tobytes())
    groups = rng.normal(size=(512, 16))
    digest.update(rl.compute_group_advantages(groups, "mean", True).tobytes())
    return digest.hexdigest()


def pinned_worker(cpu: int) -> tuple[int, str, str, int]:
    """Runs in a worker process: pin it to one CPU before its first call, then compute."""
    os.sched_setaffinity(0, {cpu})
    digest = workload()
    info = rl.runtime_info()
    return os.getpid(), info["pool_threads_source"], digest, info["pool_threads"]


def run_multiprocessing(expected: str) -> None:
    cpus = sorted(os.sched_getaffinity(0))
    for method in ("fork", "spawn"):
        with mp.get_context(method).Pool(2) as pool:
            results = pool.map(pinned_worker, [cpus[i % len(cpus)] for i in range(2)])
        for pid, source, digest, threads in results:
            same = digest == expected
            print(f"{method:5s} worker {pid}: pool of {threads} thread(s) from {source}, same results: {same}")
            assert digest == expected and threads == 1


class Learner:
    """A Ray actor's body: computes the workload in the actor's process."""

    def run(self) -> tuple[str, int, str]:
        digest = workload()
        info = rl.runtime_info()
        return digest, info["pool_threads"], info["pool_threads_source"]


def run_ray(expected: str) -> None:
    ray: Any = importlib.import_module("ray")  # optional: untyped here
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False)
    try:
        # Ray gives each actor its share of CPUs as OMP_NUM_THREADS only; pass the pool size too.
        actor = ray.remote(num_cpus=1, runtime_env={"env_vars": {"RAYON_NUM_THREADS": "1"}})(Learner)
        learners = [actor.remote() for _ in range(2)]
        for i, (digest, threads, source) in enumerate(ray.get([a.run.remote() for a in learners], timeout=300)):
            print(f"ray actor {i}: pool of {threads} thread(s) from {source}, same results: {digest == expected}")
            assert digest == expected and threads == 1
    finally:
        ray.shutdown()


def main() -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--ray", action="store_true", help="also run two Ray actors (needs ray)")
    args = parser.parse_args()
    expected = workload()
    info = rl.runtime_info()
    print(f"parent {os.getpid()}: pool of {info['pool_threads']} thread(s) from {info['pool_threads_source']}")
    run_multiprocessing(expected)
    if args.ray:
        run_ray(expected)
    sys.stdout.flush()


if __name__ == "__main__":
    main()
