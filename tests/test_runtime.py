# The process around the calls: internal failures, the worker pool, threads, fork, imports.
import math
import os
import re
from concurrent.futures import ThreadPoolExecutor
from importlib.metadata import version

import numpy as np
import pytest

import quorvale_rl_core as q
from comparison import matches, raises_panic
from conftest import SANITIZER
from processes import run_ok
from registry import BOUNDS, UNWRAP

PPO_MSG = BOUNDS + "min = 1.1, max = 0.9"


def test_internal_failure_exception(capfd):
    with raises_panic(UNWRAP) as info:
        q.compute_reward_statistics([1.0, math.nan])
    kind = type(info.value)
    assert kind.__bases__ == (BaseException,) and kind.__module__ == "quorvale_rl_core" and not hasattr(q, "PanicException")
    assert kind.__doc__.startswith("\n") and kind.__doc__.endswith("\n") and "BaseException" in kind.__doc__
    assert re.search(r"thread '<unnamed>' failed at \S+:\d+:\n" + re.escape(UNWRAP) + r"\n", capfd.readouterr().err)
    with pytest.raises(BaseException) as again:  # from a worker thread, and not an Exception
        try:
            q.compute_ppo_surrogate(np.ones(300_000), np.ones(300_000), -0.1)
        except Exception:
            pytest.fail("the internal failure was caught as an Exception")
    assert type(again.value) is kind and str(again.value) == PPO_MSG  # one type, reused
    assert re.search(r"thread '<unnamed>' failed at \S+:\d+:\n" + re.escape(PPO_MSG) + r"\n", capfd.readouterr().err)
    assert q.compute_ppo_surrogate(np.ones(300_000), np.ones(300_000)).sum() == 300_000.0  # the next call works


@pytest.mark.parametrize("threads, cpus, size", [
    ("1", "4", 1), ("+1", None, 1), ("2", None, 2), ("7", None, 7), ("0", "1", os.cpu_count()), (None, "1", 1),
    ("abc", "1", 1), ("", "1", 1), ("-2", "1", 1), ("99999999999999999999999", "1", 1), ("2x", "0", os.cpu_count()),
])
def test_pool_size_from_environment(threads, cpus, size):
    """The first parallel call, even an empty one, starts all N threads; later calls start none."""
    started, later = map(int, run_ok("""
    import os, numpy as np, quorvale_rl_core as q
    def threads():
        return len(os.listdir("/proc/self/task"))
    before = threads()
    q.compute_ppo_surrogate(np.zeros(0), np.zeros(0))
    started = threads() - before
    x = np.random.default_rng(1).normal(size=1_000_000)
    for _ in range(20):
        q.compute_ppo_surrogate(x, x)
        q.compute_group_advantages(x.reshape(-1, 50), "median", True)
    print(started, threads() - before)
    """, {"RAYON_NUM_THREADS": threads, "RAYON_RS_NUM_CPUS": cpus}).split())
    slack = 1 if SANITIZER == "thread" else 0  # ThreadSanitizer starts a thread of its own
    assert size <= started <= size + slack and later == started


def test_imports_without_numpy_again_and_in_a_sub_interpreter():
    lines = run_ok("""
    import _testcapi, importlib, sys
    class NoNumpy:
        def find_spec(self, name, path=None, target=None):
            if name.partition(".")[0] == "numpy":
                raise ModuleNotFoundError(f"No module named {name!r}")
    sys.meta_path.insert(0, NoNumpy())
    import quorvale_rl_core as q
    print(q.__version__, len(q.__all__), q.compute_reward_statistics([1.0, 3.0])["median"])
    print(q.batch_compute_gae([], []), q.batch_compute_gae((), [], 0.5))  # no array to convert or build
    for call in (lambda: q.compute_gae([1.0], [0.0]), lambda: q.compute_group_advantages([[1.0]], "mean", True)):
        try:
            call()
        except BaseException as e:
            print(type(e).__name__, isinstance(e, Exception), str(e).partition(":")[0])
    del sys.modules["quorvale_rl_core"]
    again = importlib.import_module("quorvale_rl_core")
    print(again is q, again.__all__ == q.__all__, len(again.__all__), again.compute_gae is q.compute_gae)
    _testcapi.run_in_subinterp("try:\\n import quorvale_rl_core\\nexcept ImportError as e:\\n print('refused:', e)")
    """).splitlines()
    exported = len(q.__all__)
    assert lines[:5] == [f"{version('quorvale_rl_core')} {exported} 2.0", "[] []"] + [
        "PanicException False Failed to access NumPy array API capsule"] * 2 + [f"True True {exported} True"]
    assert lines[5].startswith("refused: ") and "sub-interpreters" in lines[5], lines


@pytest.mark.skipif(bool(SANITIZER), reason="a sanitizer's operator new ends the process instead of throwing")
def test_memory_exhaustion_raises_memory_error():
    assert run_ok("""
    import resource
    resource.setrlimit(resource.RLIMIT_AS, (6 << 30, 6 << 30))  # keep a runaway allocation off the machine
    import numpy as np, quorvale_rl_core as q
    for shape in [(2 ** 30, 2 ** 29), (2 ** 40, 1), (1, 2 ** 40)]:
        try:
            q.compute_group_advantages(np.broadcast_to(np.zeros(1), shape), "mean", False)
        except MemoryError:
            print("MemoryError")
    print(q.compute_gae(np.ones(2), np.zeros(3)).tolist())
    """).splitlines() == ["MemoryError"] * 3 + ["[1.9405000000000001, 1.0]"]


def test_python_threads_call_concurrently():
    """Five threads at once: results stay exact while bound failures in the workers come and go."""
    rng = np.random.default_rng(11)
    x, y, m = rng.normal(size=100_000), rng.normal(size=100_000), rng.normal(size=(2000, 40))
    jobs = [lambda: q.compute_gspo_importance_ratios(x, y, np.arange(100_000) % 30), lambda: q.apply_gspo_clipping(x, y),
            lambda: q.compute_group_advantages(m, "median", True), lambda: q.batch_compute_gae(list(m), list(m[:, :20]))]
    expected = [job() for job in jobs]

    def failing():
        with raises_panic(PPO_MSG):
            q.compute_ppo_surrogate(x, y, -0.1)

    with ThreadPoolExecutor(5) as pool:
        futures = [pool.submit(failing if i % 5 == 4 else jobs[i % 5]) for i in range(150)]
        for i, future in enumerate(futures):
            assert matches(future.result(timeout=600), None if i % 5 == 4 else expected[i % 5])
