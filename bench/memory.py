"""Peak memory of one call against the size of its result, each case in a fresh process.

    python bench/memory.py [--threads N]

Each child builds the inputs, resets the peak resident size (/proc/self/clear_refs), makes one call
and prints the growth of the peak over the resident size before the call.  The extra memory is that
growth minus the result's bytes: scratch, copies and allocator slack.
"""

import argparse
import os
import subprocess
import sys
import textwrap

CASES = {
    "batch_compute_gae 8 x 1e6 equal lengths": """
        rewards = [np.full(1_000_000, 0.5) for _ in range(8)]
        values = [np.full(1_000_001, 0.25) for _ in range(8)]
        call = lambda: q.batch_compute_gae(rewards, values, 0.99, 0.95)
    """,
    "batch_compute_gae 64 x 1e5 equal lengths": """
        rewards = [np.full(100_000, 0.5) for _ in range(64)]
        values = [np.full(100_001, 0.25) for _ in range(64)]
        call = lambda: q.batch_compute_gae(rewards, values, 0.99, 0.95)
    """,
}

CHILD = """
import numpy as np, quorvale_rl_core as q
def kib(field):
    for line in open("/proc/self/status"):
        if line.startswith(field):
            return int(line.split()[1])
{setup}
q.compute_ppo_surrogate(np.zeros(0), np.zeros(0))  # the pool started before the measurement
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # peak resident size := current
before = kib("VmRSS:")
result = call()
size = sum(r.nbytes for r in result) if isinstance(result, list) else result.nbytes
print(kib("VmHWM:") - before, size // 1024)
"""


def measure(setup, threads):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    code = CHILD.format(setup=textwrap.dedent(setup))
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True).stdout
    peak, result = map(int, out.split())
    return peak / 1024, result / 1024


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--threads", type=int, default=2)
    args = parser.parse_args()
    print(f"| case ({args.threads} threads) | peak growth MiB | result MiB | extra MiB |")
    print("|---|---|---|---|")
    for name, setup in CASES.items():
        peak, result = measure(setup, args.threads)
        print(f"| {name} | {peak:.1f} | {result:.1f} | {peak - result:.1f} |")


if __name__ == "__main__":
    main()
