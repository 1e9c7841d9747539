# What the process runs with: the pool size from the variables, the processors it may use and the cgroup quota,
# as runtime_info() reports it and as the pool starts it; bounded scratch memory; empty work that returns at once.
import json
import os

import numpy as np
import pytest

import quorvale_rl_core as q
from conftest import SANITIZER
from processes import run_ok

ONLINE = os.cpu_count()
ALL = None  # every online processor in the affinity mask
PATHS = ["baseline", "avx2", "avx512"]
V1, V2 = "v1", "v2"


def rnt(threads, cpus=None):
    return {"RAYON_NUM_THREADS": threads, "RAYON_RS_NUM_CPUS": cpus}


# Before the pool starts runtime_info() says what the first parallel call would decide now, so one process walks
# the whole table: (variables, affinity mask, cgroup quotas as {version: (quota, period)}) -> (N, source, quota).
DECISIONS = [
    (rnt("1", "4"), ALL, {}, (1, "RAYON_NUM_THREADS", None)), (rnt("+1"), ALL, {}, (1, "RAYON_NUM_THREADS", None)),
    (rnt("7"), ALL, {}, (7, "RAYON_NUM_THREADS", None)), (rnt("65535"), ALL, {}, (65535, "RAYON_NUM_THREADS", None)),
    (rnt("70000"), ALL, {}, (65535, "RAYON_NUM_THREADS", None)),  # capped
    (rnt(str(2**64 - 1), "5"), ALL, {}, (65535, "RAYON_NUM_THREADS", None)),
    (rnt(str(2**64 + 1), "5"), ALL, {}, (5, "RAYON_RS_NUM_CPUS", None)),  # past 64 bits in the last digit's addition
    (rnt(str(2**64 + 4), "6"), ALL, {}, (6, "RAYON_RS_NUM_CPUS", None)),  # past 64 bits in the multiplication
    (rnt("99999999999999999999999", "1"), ALL, {}, (1, "RAYON_RS_NUM_CPUS", None)),
    (rnt(None, "1"), ALL, {}, (1, "RAYON_RS_NUM_CPUS", None)), (rnt("abc", "1"), ALL, {}, (1, "RAYON_RS_NUM_CPUS", None)),
    (rnt("", "1"), ALL, {}, (1, "RAYON_RS_NUM_CPUS", None)), (rnt("-2", "1"), ALL, {}, (1, "RAYON_RS_NUM_CPUS", None)),
    (rnt("0", "1"), ALL, {}, (ONLINE, "online", None)),  # 0: one per usable processor, the second variable unread
    (rnt("2x", "0"), ALL, {}, (ONLINE, "online", None)), (rnt(None), ALL, {}, (ONLINE, "online", None)),
    (rnt(None), {0}, {}, (1, "affinity", None)), (rnt("3"), {0}, {}, (3, "RAYON_NUM_THREADS", None)),  # a variable wins
    (rnt(None, "2"), {0}, {}, (2, "RAYON_RS_NUM_CPUS", None)), (rnt("0", "5"), {0}, {}, (1, "affinity", None)),
    (rnt("x", "0"), {0}, {}, (1, "affinity", None)),
    (rnt(None), ALL, {V2: (50_000, 100_000)}, (1, "quota", 0.5)),  # rounded up, at least 1
    (rnt(None), ALL, {V2: (150_000, 100_000)}, (min(2, ONLINE), "quota" if ONLINE > 2 else "online", 1.5)),
    (rnt(None), ALL, {V1: (100_000, 100_000)}, (1, "quota", 1.0)),
    (rnt(None), ALL, {V2: ("max", 100_000)}, (ONLINE, "online", None)),
    (rnt(None), ALL, {V1: (-1, 100_000)}, (ONLINE, "online", None)),
    (rnt(None), ALL, {V2: (400_000, 100_000), V1: (20_000, 100_000)}, (1, "quota", 0.2)),  # the smallest quota
    (rnt(None), ALL, {V2: (10_000_000, 100_000)}, (ONLINE, "online", 100.0)),  # never above the online count
    (rnt("4"), ALL, {V2: (50_000, 100_000)}, (4, "RAYON_NUM_THREADS", 0.5)),  # the variables win over the quota
]


def fake_cgroup(root, quotas):
    """A cgroup hierarchy with the quotas given; none at all without them."""
    root.mkdir()
    if V2 in quotas:
        (root / "cpu.max").write_text("{} {}\n".format(*quotas[V2]))
    if V1 in quotas:
        (root / "cpu").mkdir()
        (root / "cpu" / "cpu.cfs_quota_us").write_text(f"{quotas[V1][0]}\n")
        (root / "cpu" / "cpu.cfs_period_us").write_text(f"{quotas[V1][1]}\n")
    return str(root)


def settings(tmp, rows):
    return [dict(env, QRL_TEST_CGROUP_ROOT=fake_cgroup(tmp / str(i), quotas), cpus=sorted(cpus or range(ONLINE)))
            for i, (env, cpus, quotas, _) in enumerate(rows)]


# Applies each row's settings in turn and prints runtime_info() for each; then whether the pool started.
DECIDE = """
import json, os, quorvale_rl_core as q
reports = []
for row in json.loads({rows!r}):
    os.sched_setaffinity(0, row.pop("cpus"))
    for name, value in row.items():
        os.environ.pop(name, None) if value is None else os.environ.__setitem__(name, value)
    reports.append(q.runtime_info())
print(json.dumps([reports, q.runtime_info()["pool_started"]]))
"""


@pytest.fixture(scope="module")
def decided(tmp_path_factory):
    reports, started = json.loads(run_ok(DECIDE.format(rows=json.dumps(settings(tmp_path_factory.mktemp("cg"), DECISIONS)))))
    assert not started  # runtime_info() starts nothing
    return reports


@pytest.mark.parametrize("i", range(len(DECISIONS)), ids=lambda i: f"{DECISIONS[i][0]}-{DECISIONS[i][1]}-{DECISIONS[i][2]}")
def test_pool_size_decision(decided, i):
    env, cpus, _, (threads, source, quota) = DECISIONS[i]
    report = decided[i]
    assert (report["pool_threads"], report["pool_threads_source"], report["cpu_quota"]) == (threads, source, quota), report
    assert report["affinity_processors"] == len(cpus or range(ONLINE)) and report["online_processors"] == ONLINE


# The first parallel call, even an empty one, starts all N threads as decided; later calls start none.
STARTED = """
import json, os, numpy as np, quorvale_rl_core as q
def threads():
    return len(os.listdir("/proc/self/task"))
os.sched_setaffinity(0, {cpus})
before, report = threads(), q.runtime_info()
q.compute_ppo_surrogate(np.zeros(0), np.zeros(0))
started = threads() - before
x = np.random.default_rng(1).normal(size=1_000_000)
for _ in range(5):
    q.compute_ppo_surrogate(x, x)
    q.compute_group_advantages(x.reshape(-1, 50), "median", True)
print(json.dumps([report, q.runtime_info(), started, threads() - before]))
"""


@pytest.mark.parametrize("env, cpus, quotas, n", [(rnt("7"), ALL, {}, 7), (rnt(None), {0}, {}, 1),
                                                 (rnt(None), ALL, {V2: (150_000, 100_000)}, min(2, ONLINE))])
def test_pool_starts_the_threads_it_decided(tmp_path, env, cpus, quotas, n):
    env = settings(tmp_path, [(env, cpus, quotas, n)])[0]
    before, after, started, later = json.loads(run_ok(STARTED.format(cpus=env.pop("cpus")), env))
    slack = 1 if SANITIZER == "thread" else 0  # ThreadSanitizer starts a thread of its own
    assert after["pool_threads"] == n and n <= started <= n + slack and later == started, (after, started, later)
    assert before == dict(after, pool_started=False) and after["pool_started"] and after["pool_failure"] is None


def test_runtime_info_types():
    info = q.runtime_info()
    assert list(info) == ["version", "instruction_set", "instruction_sets_allowed", "cpu_features_cap", "pool_threads",
                          "pool_threads_source", "pool_started", "pool_failure", "online_processors",
                          "affinity_processors", "cpu_quota"]
    assert info["instruction_sets_allowed"][0] in ("baseline", "neon", "generic") and info["version"] == q.__version__
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
    assert all(q.compute_group_advantages(rewards, baseline, normalize).shape == (0,)
               for baseline in ("mean", "median", "min") for normalize in (False, True))
