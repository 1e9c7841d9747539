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
