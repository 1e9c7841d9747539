# The process around the calls: internal failures, imports, memory exhaustion (the worker pool: tests/test_pool.py
# and tests/test_runtime_report.py).
import math
import re
from importlib.metadata import version

import numpy as np
import pytest

import quorvale_rl_core as q
from comparison import raises_panic
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
