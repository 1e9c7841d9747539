# Every instruction-set path (QRL_CPU_FEATURES caps the one the processor would pick) gives the same
# results; the variable never makes a call fail, whatever its value.
import platform

import pytest

import quorvale_rl_core as q
from processes import DIGEST, run_ok


@pytest.fixture(scope="module")
def uncapped():
    return run_ok(DIGEST, {"QRL_CPU_FEATURES": None, "RAYON_NUM_THREADS": "2"})


# Every kernel in the registry (tests/registry.py) on arguments around every lane count (2, 4 and 8
# doubles), so vector bodies and scalar tails both run.
@pytest.mark.parametrize("cap", ["baseline", "avx2", "avx512", "", "AVX2", "sse9", "avx2,avx512", " baseline"])
def test_every_path_gives_the_same_results(uncapped, cap):
    assert run_ok(DIGEST, {"QRL_CPU_FEATURES": cap, "RAYON_NUM_THREADS": "2"}) == uncapped


def paths_of_this_processor():
    """The x86-64 paths this processor runs, lowest first, from the flags the kernel reports."""
    with open("/proc/cpuinfo") as f:
        flags = next(line for line in f if line.startswith("flags")).split()
    return ["baseline"] + [path for path, flag in (("avx2", "avx2"), ("avx512", "avx512f")) if flag in flags]


# The cap names a path exactly; anything else (a list, a longer word, another case, spaces) is no cap.
CAPS = {"baseline": "baseline", "avx2": "avx2", "avx512": "avx512", "": None, "avx2,avx512": None, "avx2x": None,
        "avx": None, "AVX2": None, " baseline": None, "base": None}


@pytest.mark.skipif(platform.machine() != "x86_64", reason="one path on other processors")
@pytest.mark.skipif(not hasattr(q, "runtime_info"), reason="the module reports its path through runtime_info()")
@pytest.mark.parametrize("cap", list(CAPS))
def test_cap_chooses_the_path(cap):
    """Equal results do not show which path ran: the module's own report does."""
    allowed = paths_of_this_processor()
    named = CAPS[cap]
    expected = allowed[-1] if named is None else allowed[min(["baseline", "avx2", "avx512"].index(named), len(allowed) - 1)]
    chosen = run_ok("import quorvale_rl_core as q; print(q.runtime_info()['instruction_set'])", {"QRL_CPU_FEATURES": cap})
    assert chosen == expected
