"""Process-level behaviour: internal failures, the worker pool, imports, fork and threads."""
import math
import os
import re
import threading

import numpy as np
import pytest

import quorvale_rl_core as q
from conftest import f64, raises_panic, run_ok, same

NAN_MSG = "called `Option::unwrap()` on a `None` value"
PPO_MSG = "min > max, or either was NaN. min = 1.1, max = 0.9"

# Large calls of every parallel function, and a digest of all result bytes.
WORKLOAD = """
import hashlib, os, sys, time, numpy as np, quorvale_rl_core as q
def work():
    rng = np.random.default_rng(7)
    x, y = rng.normal(size=200_000), rng.normal(size=200_000)
    x[::997] = np.nan
    m = rng.normal(size=(3000, 33))
    m[5, 3] = np.nan
    rewards = [rng.normal(size=k) for k in rng.integers(0, 300, size=600)]
    out = [q.compute_gspo_importance_ratios(x * 20, y * 20, rng.integers(-2, 60, size=200_000)),
           q.apply_gspo_clipping(np.exp(x / 10), y), q.compute_ppo_surrogate(np.exp(x / 10), y)]
    out += [q.compute_group_advantages(m, b, z) for b in ("mean", "median", "min") for z in (False, True)]
    out += q.batch_compute_gae(rewards, [rng.normal(size=len(r) + 1) for r in rewards], 0.97, 0.9)
    return hashlib.sha256(b"".join(a.tobytes() for a in out)).hexdigest()
"""


def test_internal_failure_exception(capfd):
    with raises_panic(NAN_MSG) as info:
        q.compute_reward_statistics([1.0, math.nan])
    kind = type(info.value)
    assert kind.__bases__ == (BaseException,) and kind.__module__ == "quorvale_rl_core"
    assert info.value.args == (NAN_MSG,) and not hasattr(q, "PanicException")
    assert kind.__doc__.startswith("\n") and kind.__doc__.endswith("\n") and "BaseException" in kind.__doc__
    err = capfd.readouterr().err
    assert re.search(r"thread '<unnamed>' failed at \S+:\d+:\n" + re.escape(NAN_MSG) + r"\n", err), err
    try:
        try:
            q.clip_rewards_py(f64([1.0]), 1.0, 0.0)
        except Exception:  # must not catch it
            pytest.fail("the internal failure was caught as an Exception")
    except BaseException as again:
        assert type(again) is kind  # one type, reused
    assert same(q.compute_reward_statistics([1.0, 3.0])["median"], 2.0)


def test_failure_in_workers_reported(capfd):
    with raises_panic(PPO_MSG):
        q.compute_ppo_surrogate(np.ones(100_000), np.ones(100_000), -0.1)
    err = capfd.readouterr().err
    assert "thread '<unnamed>'" in err and PPO_MSG in err.splitlines()
    assert q.compute_ppo_surrogate(np.ones(100_000), np.ones(100_000)).sum() == 100_000.0


def test_results_independent_of_thread_count():
    digests = {run_ok(WORKLOAD + "print(work())", env) for env in
               ({"RAYON_NUM_THREADS": "1"}, {"RAYON_NUM_THREADS": "2"}, {"RAYON_NUM_THREADS": "7"}, {})}
    assert len(digests) == 1


NCPU = os.sysconf("SC_NPROCESSORS_ONLN")


@pytest.mark.parametrize("threads, cpus, size", [
    ("1", "4", 1), ("+1", None, 1), ("2", None, 2), ("7", None, 7), ("0", "1", NCPU), (None, "1", 1),
    ("abc", "1", 1), ("", "1", 1), ("-2", "1", 1), ("99999999999999999999999", "1", 1), ("2x", "0", NCPU),
    (None, None, NCPU),
])
def test_pool_size_from_environment(threads, cpus, size):
    workers = int(run_ok("""
    import os, numpy as np, quorvale_rl_core as q
    before = len(os.listdir("/proc/self/task"))
    x = np.random.default_rng(1).normal(size=1_000_000)
    for _ in range(20):
        q.compute_ppo_surrogate(x, x)
        q.compute_group_advantages(x.reshape(-1, 50), "median", True)
    print(len(os.listdir("/proc/self/task")) - before)
    """, {"RAYON_NUM_THREADS": threads, "RAYON_RS_NUM_CPUS": cpus}))
    assert 0 <= workers <= size - 1  # the calling thread takes part in the work
    assert workers >= 1 or size == 1  # workers may start lazily, but heavy calls start some


def test_import_without_numpy():
    lines = run_ok("""
    import sys
    class NoNumpy:
        def find_spec(self, name, path=None, target=None):
            if name == "numpy" or name.startswith("numpy."):
                raise ModuleNotFoundError(f"No module named {name!r}")
    sys.meta_path.insert(0, NoNumpy())
    import quorvale_rl_core as q
    print(q.__version__, len(q.__all__), q.compute_reward_statistics([1.0, 3.0])["median"])
    for call in (lambda: q.compute_gae([1.0], [0.0]), lambda: q.clip_rewards_py([1.0], 0.0, 1.0),
                 lambda: q.compute_group_advantages([[1.0]], "mean", True)):
        try:
            call()
        except BaseException as e:
            print(type(e).__name__, isinstance(e, Exception), str(e))
    """).splitlines()
    assert lines[0] == "0.1.1 10 2.0" and len(lines) == 4
    assert all(line.startswith("PanicException False Failed to access NumPy array API capsule") for line in lines[1:])


def test_reimport_returns_same_module():
    assert run_ok("""
    import sys, importlib, quorvale_rl_core as first
    del sys.modules["quorvale_rl_core"]
    second = importlib.import_module("quorvale_rl_core")
    print(first is second, len(second.__all__), second.__all__ == first.__all__, second.compute_gae is first.compute_gae)
    """).split() == ["True", "10", "True", "True"]


def test_sub_interpreter_refused(tmp_path):
    out = tmp_path / "outcome.txt"
    assert run_ok("""
    import _testcapi, quorvale_rl_core
    lines = ["import os", "try:", "    import quorvale_rl_core", "    outcome = 'imported'",
             "except BaseException as e:", "    outcome = type(e).__name__ + ': ' + str(e)",
             "open(os.environ['OUTCOME_FILE'], 'w').write(outcome)"]
    _testcapi.run_in_subinterp(chr(10).join(lines))
    print(quorvale_rl_core.compute_reward_statistics([2.0])["mean"])
    """, {"OUTCOME_FILE": str(out)}) == "2.0"
    outcome = out.read_text()
    assert outcome.startswith("ImportError: ") and "sub-interpreters" in outcome, outcome


FORK = WORKLOAD + """
parent = work()
pid = os.fork()
if pid == 0:
    if MODE == "check":
        os._exit(0 if work() == parent else 3)
    if MODE == "call_then_exit":
        work()
    sys.exit(0)
status, deadline = None, time.time() + 120
while status is None and time.time() < deadline:
    done, code = os.waitpid(pid, os.WNOHANG)
    status = code if done else time.sleep(0.05)
if status is None:
    os.kill(pid, 9)
print("hang" if status is None else os.waitstatus_to_exitcode(status))
"""


@pytest.mark.parametrize("mode", ["check", "call_then_exit", "exit"])
def test_fork_after_parallel_call(mode):
    assert run_ok(f"MODE = {mode!r}\n" + FORK, timeout=300) == "0"


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


def test_python_threads_call_concurrently(capfd):
    rng = np.random.default_rng(11)
    x, y, m, n = rng.normal(size=50_000), rng.normal(size=50_000), rng.normal(size=(500, 40)), np.arange(50_000) % 30
    jobs = [lambda: q.compute_gspo_importance_ratios(x, y, n), lambda: q.apply_gspo_clipping(x, y),
            lambda: q.compute_ppo_surrogate(x, y, 0.3), lambda: q.compute_group_advantages(m, "median", True),
            lambda: q.batch_compute_gae(list(m), list(m[:, :20]))]
    expected, errors = [job() for job in jobs], []

    def caller(k):
        for i in range(40):
            j = (k + i) % len(jobs)
            if k < 4 and not same(jobs[j](), expected[j]):
                errors.append(j)
            elif k == 4:  # a bound failure in the workers while other threads call
                try:
                    q.compute_ppo_surrogate(x, y, -0.1)
                    errors.append("no failure")
                except BaseException as e:
                    errors.extend([] if str(e) == PPO_MSG else [e])

    threads = [threading.Thread(target=caller, args=(k,)) for k in range(5)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=300)
    assert not any(t.is_alive() for t in threads) and errors == []
    capfd.readouterr()
