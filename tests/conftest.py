"""Shared helpers for the quorvale_rl_core tests (run against the installed module)."""
import contextlib
import math
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from hypothesis import settings
from hypothesis import strategies as st

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))  # reference.py, helpers
import reference  # noqa: E402

# QRL_EXAMPLES raises the number of generated examples for a deeper run.
settings.register_profile("suite", max_examples=int(os.environ.get("QRL_EXAMPLES", "40")), deadline=None, database=None)
settings.load_profile("suite")

SPECIAL = [0.0, -0.0, math.nan, -math.nan, math.inf, -math.inf, 5e-324, -2.2250738585072014e-308,
           1e-310, 1.0, -1.0, 0.1, 1e-8, 1e308, -1e308]
FLOATS = st.one_of(st.floats(-1e3, 1e3), st.floats(), st.sampled_from(SPECIAL))


def float_lists(max_size=300):
    return st.lists(FLOATS, max_size=max_size)


def f64(values):
    return np.array(values, dtype=np.float64)


def bits_equal(a, b):
    """Bit-for-bit equality of float64 data; any NaN equals any NaN."""
    a = np.atleast_1d(np.ascontiguousarray(a, dtype=np.float64))
    b = np.atleast_1d(np.ascontiguousarray(b, dtype=np.float64))
    if a.shape != b.shape:
        return False
    na, nb = np.isnan(a), np.isnan(b)
    return bool((na == nb).all() and (a.view(np.uint64)[~na] == b.view(np.uint64)[~nb]).all())


def same(a, b):
    """Structural equality of two call results, floats compared bit for bit."""
    if type(a) is not type(b):
        return False
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, (np.ndarray, float)):
        return np.shape(a) == np.shape(b) and np.asarray(a).dtype == np.asarray(b).dtype and bits_equal(a, b)
    return a == b


def is_result_vector(a):
    return (type(a) is np.ndarray and a.dtype == np.float64 and a.ndim == 1 and a.flags.c_contiguous
            and a.flags.owndata and a.flags.writeable)


@contextlib.contextmanager
def raises_panic(message=None):
    """Expect the module's internal-failure exception (a BaseException named PanicException)."""
    with pytest.raises(BaseException) as info:
        yield info
    e = info.value
    assert type(e).__name__ == "PanicException", repr(e)
    assert not isinstance(e, Exception)
    assert message is None or str(e) == message, str(e)


def assert_like_reference(module_call, reference_call):
    """The module's result equals the reference's bit for bit, or both fail with the same message."""
    try:
        expected = reference_call()
    except reference.Failure as failure:
        with raises_panic(str(failure)):
            module_call()
    else:
        got = module_call()
        assert same(got, expected) if isinstance(got, dict) else bits_equal(got, expected)


def run_ok(code, env=None, timeout=180):
    """Run a snippet in a fresh interpreter (env entries set to None are removed); return its stdout."""
    full = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    full.update(OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1", MKL_NUM_THREADS="1")
    full.update(env or {})
    full = {k: v for k, v in full.items() if v is not None}
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=full, cwd="/",
                          capture_output=True, text=True, timeout=timeout)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout.strip()
