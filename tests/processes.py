# Snippets run in a fresh interpreter.
import os
import subprocess
import sys
import textwrap


def run_ok(code, env=None, timeout=600):
    """Run a snippet in a fresh interpreter (env entries set to None are removed); return its stdout."""
    full = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    full.update(OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1", **(env or {}))
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], cwd="/", capture_output=True, text=True,
                          env={k: v for k, v in full.items() if v is not None}, timeout=timeout)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout.strip()


TESTS = os.path.dirname(os.path.abspath(__file__))

# A digest of every kernel's results on its large arguments; NaN results count only as NaN (IEEE 754 leaves
# their sign and payload open).
DIGEST = f"""
import hashlib, sys
sys.path.insert(0, {TESTS!r})
import numpy as np, quorvale_rl_core as q
from registry import KERNELS, REGISTRY
def flat(result):
    if isinstance(result, dict):
        return flat(list(result.values()))
    if isinstance(result, (list, tuple)):
        return b"".join(flat(r) for r in result)
    a = np.asarray(result, dtype=float)
    return np.where(np.isnan(a), np.nan, a).tobytes()
for name in KERNELS:
    print(name, hashlib.sha256(flat(getattr(q, name)(*REGISTRY[name].large(np.random.default_rng(11))))).hexdigest())
"""
