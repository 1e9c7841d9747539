# Leaks: many calls on the success path and on every failure path of every function leave the
# reference counts of the inputs unchanged and the resident memory flat (at most RSS_BOUND of growth
# over LEAK_CALLS calls, after a warm-up: a leak of 16 bytes a call would show as 1.5 MiB).
import gc
import os
import sys

import numpy as np
import pytest

from conftest import LEAK_CALLS, SANITIZER
from registry import KINDS, NAMES, PARAMS, valid

RSS_BOUND = 1 << 20
# A value of each kind that fails its conversion; sequences fail on a later item, after earlier items were taken.
BAD = {"vec": [1.0], "ivec": np.ones(2), "mat": np.ones(3), "veclist": [np.ones(2), np.ones(2, np.float32)],
       "seq": [1.0, "x"], "float": "x", "int": 1.5, "bool": 1, "str": 5}
SPECIAL_PATHS = {("clip_rewards_py", "internal failure"): (1, 2.0), ("compute_ppo_surrogate", "internal failure"): (2, -0.5),
                 ("compute_reward_statistics", "internal failure"): (0, [1.0, float("nan"), 2.0]),
                 ("normalize_rewards", "count overflow"): (3, 2 ** 63 - 2), ("compute_gae", "float overflow"): (2, 10 ** 400),
                 ("batch_compute_gae", "success, strided items"): (0, [np.ones(6)[::2], np.arange(3.0)[::-1]])}


def paths():
    for name in NAMES:
        yield name, "success", valid(name)
        yield name, "matching", valid(name) + [0.0] * 3
        for i, kind in enumerate(KINDS[name]):
            yield name, f"conversion of {PARAMS[name][i]}", [*valid(name)[:i], BAD[kind], *valid(name)[i + 1:]]
        if "vec" in KINDS[name]:
            args = valid(name)
            yield name, "contiguity", [np.repeat(args[0], 2)[::2], *args[1:]]
    for (name, path), (i, value) in SPECIAL_PATHS.items():
        yield name, path, [*valid(name)[:i], value, *valid(name)[i + 1:]]


def resident():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.parametrize("name, path, args", list(paths()))
def test_calls_leak_nothing(name, path, args):
    function = getattr(__import__("quorvale_rl_core"), name)
    objects = [o for o in args + [x for a in args if type(a) is list for x in a] if sys.getrefcount(o) < 10 ** 6]
    # Garbage of earlier tests may still hold an interned argument such as "mean": collect it first, so
    # that only the calls below can change the counts.
    gc.collect()
    counts = [sys.getrefcount(o) for o in objects]

    def failures(times):
        failed = 0
        for _ in range(times):
            try:
                function(*args)
            except BaseException:  # the internal-failure exception included
                failed += 1
        return failed

    assert failures(2000) == (0 if path.startswith("success") else 2000)  # warm-up, and the path is the one named
    before = resident()
    failures(LEAK_CALLS)
    growth = resident() - before
    gc.collect()
    assert [sys.getrefcount(o) for o in objects] == counts
    assert SANITIZER or growth <= RSS_BOUND, f"resident memory grew by {growth} bytes"
