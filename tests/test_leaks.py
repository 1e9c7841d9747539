# Leaks: many calls on the success path and on every failure path of every kernel in the registry (argument matching,
# the conversion of each parameter, contiguity, internal failures, overflow) leave the reference counts of the
# arguments unchanged and the memory in use flat over LEAK_CALLS calls (a tenth of them for the trainer layer), after a
# warm-up. Where glibc tells the bytes malloc has handed out (mallinfo2), those and the interpreter's own blocks are
# counted exactly: over n calls, at most max(MALLOC_BOUND, 2n) bytes and n/4 blocks of growth (the interpreter's free
# lists and caches fill up to a few hundred blocks: CPython 3.14 showed 157 over 20000 calls), where a leak of 16 bytes
# or of one object a call shows as 32n bytes or n blocks. Elsewhere the resident memory grows by at most RSS_BOUND.
import ctypes
import gc
import os
import sys

import numpy as np
import pytest

from conftest import LEAK_CALLS, SANITIZER
from registry import KERNELS, REGISTRY

RSS_BOUND = 1 << 20
MALLOC_BOUND = 16 << 10
REFUSED = frozenset({1})  # refused by every conversion kind
# For the nine, a value of each kind that fails its conversion; sequences fail on a later item, after earlier items
# were taken.
BAD = {"vec": [1.0], "ivec": np.ones(2), "mat": np.ones(3), "veclist": [np.ones(2), np.ones(2, np.float32)],
       "seq": [1.0, "x"], "float": "x", "int": 1.5, "bool": 1, "str": 5}
SPECIAL_PATHS = {("clip_rewards_py", "internal failure"): (1, 2.0), ("compute_ppo_surrogate", "internal failure"): (2, -0.5),
                 ("compute_reward_statistics", "internal failure"): (0, [1.0, float("nan"), 2.0]),
                 ("normalize_rewards", "count overflow"): (3, 2 ** 63 - 2), ("compute_gae", "float overflow"): (2, 10 ** 400),
                 ("batch_compute_gae", "success, strided items"): (0, [np.ones(6)[::2], np.arange(3.0)[::-1]])}


def replaced(name, i, value):
    values = REGISTRY[name].valid()
    values[i] = value
    return REGISTRY[name].arguments(values)


def paths():
    for name in KERNELS:
        entry, core = REGISTRY[name], REGISTRY[name].layer == "core"
        yield name, "success", entry.arguments()
        yield name, "matching", (entry.valid() + [0.0] * 3, {})
        for i, kind in enumerate(entry.kinds.split()):
            yield name, f"conversion of {entry.params[i]}", replaced(name, i, BAD[kind] if core else REFUSED)
        if core and "vec" in entry.kinds.split():
            yield name, "contiguity", replaced(name, 0, np.repeat(entry.valid()[0], 2)[::2])
    for (name, path), (i, value) in SPECIAL_PATHS.items():
        yield name, path, replaced(name, i, value)


class MallocInfo(ctypes.Structure):
    _fields_ = [(field, ctypes.c_size_t) for field in
                "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()]


def memory_in_use():
    """The bytes malloc handed out and the interpreter's blocks; or the resident bytes and 0."""
    if MALLINFO2 is None:
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE"), 0
    info = MALLINFO2()
    return info.uordblks + info.hblkhd, sys.getallocatedblocks()


MALLINFO2 = getattr(ctypes.CDLL(None), "mallinfo2", None)
if MALLINFO2 is not None:
    MALLINFO2.restype, MALLINFO2.argtypes = MallocInfo, []


@pytest.fixture(scope="module", autouse=True)
def frozen_heap():
    # The objects of earlier tests (torch, hypothesis) out of every collection here: each then takes milliseconds.
    gc.collect()
    gc.freeze()
    yield
    gc.unfreeze()


@pytest.mark.parametrize("name, path, arguments", list(paths()))
def test_calls_leak_nothing(name, path, arguments):
    function, (args, kwargs) = getattr(__import__("quorvale_rl_core"), name), arguments
    given = list(args) + list(kwargs.values())
    # Shared objects (None, True, interned strings, small ints) move with anything else: only the arguments' own.
    objects = [o for o in given + [x for a in given if type(a) is list for x in a] if isinstance(o, (np.ndarray, list, tuple, float))]
    gc.collect()  # garbage of earlier tests may still hold an argument
    counts = [sys.getrefcount(o) for o in objects]

    def failures(times):
        failed = 0
        for _ in range(times):
            try:
                function(*args, **kwargs)
            except BaseException:  # the internal-failure exception included
                failed += 1
        return failed

    assert failures(2000) == (0 if path.startswith("success") else 2000)  # warm-up, and the path is the one named
    gc.collect()
    before = memory_in_use()
    calls = LEAK_CALLS if REGISTRY[name].layer == "core" else LEAK_CALLS // 10
    failures(calls)
    gc.collect()
    growth, blocks = (after - first for after, first in zip(memory_in_use(), before))
    assert [sys.getrefcount(o) for o in objects] == counts
    if MALLINFO2 is None:
        assert SANITIZER or growth <= RSS_BOUND, f"resident memory grew by {growth} bytes"
    else:
        assert SANITIZER or (growth <= max(MALLOC_BOUND, 2 * calls) and blocks <= calls // 4), \
            f"{growth} bytes, {blocks} blocks more over {calls} calls"
