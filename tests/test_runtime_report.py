# What the process runs with: the pool size from the processors it may use, runtime_info(), bounded
# scratch memory, and empty work that returns at once.
import json
import os

import numpy as np
import pytest

import quorvale_rl_core as q
from conftest import SANITIZER
from processes import run_ok

ONLINE = os.cpu_count()
PATHS = ["baseline", "avx2", "avx512"]

# Sets the affinity mask, then starts the pool; prints the threads it started and the report.
SIZED = """
import json, os, numpy as np, quorvale_rl_core as q
os.sched_setaffinity(0, {cpus})
before = len(os.listdir("/proc/self/task"))
q.compute_ppo_surrogate(np.zeros(0), np.zeros(0))
print(json.dumps(dict(q.runtime_info(), started=len(os.listdir("/proc/self/task")) - before)))
"""


def sized(cpus, env=None, cgroup=None):
    env = dict(env or {}, QRL_TEST_CGROUP_ROOT=str(cgroup) if cgroup else None)
    return json.loads(run_ok(SIZED.format(cpus=sorted(cpus)), env))


def fake_cgroup(root, v2=None, v1=None):
    """A cgroup hierarchy with the quota given as (quota, period) in microseconds."""
    if v2 is not None:
        (root / "cpu.max").write_text(f"{v2[0]} {v2[1]}\n")
    if v1 is not None:
        (root / "cpu").mkdir()
        (root / "cpu" / "cpu.cfs_quota_us").write_text(f"{v1[0]}\n")
        (root / "cpu" / "cpu.cfs_period_us").write_text(f"{v1[1]}\n")
    return root


def started_ok(report, n):
    slack = 1 if SANITIZER == "thread" else 0  # ThreadSanitizer starts a thread of its own
    assert report["pool_threads"] == n and n <= report["started"] <= n + slack and report["pool_started"], report


@pytest.mark.parametrize("cpus, env, source, n", [
    ({0}, {}, "affinity", 1),
    (set(range(ONLINE)), {}, "online", ONLINE),
    ({0}, {"RAYON_NUM_THREADS": "3"}, "RAYON_NUM_THREADS", 3),  # a variable wins over the mask
    ({0}, {"RAYON_RS_NUM_CPUS": "2"}, "RAYON_RS_NUM_CPUS", 2),
    ({0}, {"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "5"}, "affinity", 1),  # 0: one per usable processor
    ({0}, {"RAYON_NUM_THREADS": "x", "RAYON_RS_NUM_CPUS": "0"}, "affinity", 1),
])
def test_pool_size_from_affinity(cpus, env, source, n):
    report = sized(cpus, env)
    started_ok(report, n)
    assert report["pool_threads_source"] == source and report["affinity_processors"] == len(cpus)
    assert report["online_processors"] == ONLINE


@pytest.mark.parametrize("v2, v1, quota, n, source", [
    ((50_000, 100_000), None, 0.5, 1, "quota"),  # rounded up, at least 1
    ((150_000, 100_000), None, 1.5, min(2, ONLINE), "quota" if ONLINE > 2 else "online"),
    (None, (100_000, 100_000), 1.0, 1, "quota"),
    (("max", 100_000), None, None, ONLINE, "online"),
    (None, (-1, 100_000), None, ONLINE, "online"),
    ((400_000, 100_000), (20_000, 100_000), 0.2, 1, "quota"),  # the smallest quota
    ((10_000_000, 100_000), None, 100.0, ONLINE, "online"),  # never above the online count
])
def test_pool_size_from_cgroup_quota(tmp_path, v2, v1, quota, n, source):
    report = sized(range(ONLINE), cgroup=fake_cgroup(tmp_path, v2, v1))
    started_ok(report, n)
    assert report["cpu_quota"] == quota and report["pool_threads_source"] == source


def test_variables_win_over_the_quota(tmp_path):
    report = sized(range(ONLINE), {"RAYON_NUM_THREADS": "4"}, fake_cgroup(tmp_path, (50_000, 100_000)))
    started_ok(report, 4)
    assert report["pool_threads_source"] == "RAYON_NUM_THREADS" and report["cpu_quota"] == 0.5


def allowed_paths():
    return q.runtime_info()["instruction_sets_allowed"]


@pytest.mark.parametrize("cap", PATHS + ["", "unknown-value"])
@pytest.mark.parametrize("threads", ["1", "7", None])
def test_runtime_info_under_each_cap_and_thread_setting(cap, threads):
    report = json.loads(run_ok("""
    import json, numpy as np, quorvale_rl_core as q
    before = q.runtime_info()
    q.compute_ppo_surrogate(np.zeros(0), np.zeros(0))
    print(json.dumps([before, q.runtime_info()]))
    """, {"QRL_CPU_FEATURES": cap, "RAYON_NUM_THREADS": threads}))
    before, after = report
    allowed = allowed_paths()
    expected_cap = cap if cap in PATHS else None
    chosen = allowed[-1] if expected_cap is None else allowed[min(PATHS.index(cap), len(allowed) - 1)]
    assert before == dict(after, pool_started=False)
    assert after["pool_started"] and after["pool_failure"] is None and after["version"] == q.__version__
    assert (after["instruction_set"], after["cpu_features_cap"], after["instruction_sets_allowed"]) == (chosen, expected_cap, allowed)
    assert (after["pool_threads"], after["pool_threads_source"]) == ((int(threads), "RAYON_NUM_THREADS") if threads else (ONLINE, "online"))


def test_runtime_info_types():
    info = q.runtime_info()
    assert list(info) == ["version", "instruction_set", "instruction_sets_allowed", "cpu_features_cap", "pool_threads",
                          "pool_threads_source", "pool_started", "pool_failure", "online_processors",
                          "affinity_processors", "cpu_quota"]
    assert info["instruction_sets_allowed"][0] in ("baseline", "neon", "generic")
    with pytest.raises(TypeError):
        q.runtime_info(1)


# Peak resident growth of one call in a fresh process, against the result's size.
PEAK = """
import numpy as np, quorvale_rl_core as q
def kib(field):
    return next(int(line.split()[1]) for line in open("/proc/self/status") if line.startswith(field))
{setup}
q.compute_ppo_surrogate(np.zeros(0), np.zeros(0))
open("/proc/self/clear_refs", "w").write("5")
before = kib("VmRSS:")
result = call()
print(kib("VmHWM:") - before, sum(r.nbytes for r in result) // 1024)
"""
EXTRA_KIB = 4096  # scratch of a few workers, allocator slack and page rounding


@pytest.mark.skipif(bool(SANITIZER), reason="sanitizers keep freed memory in quarantine")
@pytest.mark.parametrize("cap", PATHS)
@pytest.mark.parametrize("lanes, steps", [(8, 400_000), (64, 40_000)])
def test_batch_gae_scratch_is_bounded(cap, lanes, steps):
    setup = f"""
rewards = [np.full({steps}, 0.5) for _ in range({lanes})]
values = [np.full({steps + 1}, 0.25) for _ in range({lanes})]
call = lambda: q.batch_compute_gae(rewards, values, 0.99, 0.95)
"""
    peak, result = map(int, run_ok(PEAK.format(setup=setup), {"QRL_CPU_FEATURES": cap, "RAYON_NUM_THREADS": "2"}).split())
    assert peak <= result + EXTRA_KIB, (peak, result)


def test_rows_without_columns_return_at_once():
    # 2^59 rows of no columns: nothing to compute, whatever the row count
    rewards = np.lib.stride_tricks.as_strided(np.zeros(1), (2**59, 0), (0, 8))
    for baseline in ("mean", "median", "min"):
        for normalize in (False, True):
            assert q.compute_group_advantages(rewards, baseline, normalize).shape == (0,)
