# Every instruction-set path (QRL_CPU_FEATURES caps the one the processor would pick) and every thread count gives
# the same results; the cap chooses the path as runtime_info() reports it; the variable never makes a call fail,
# whatever its value.
import json
import os
import platform

import pytest

from conftest import SANITIZER
from processes import DIGEST, run_ok

ONLINE = os.cpu_count()
# Every kernel in the registry (tests/registry.py) on arguments around every lane count (2, 4 and 8 doubles), so
# vector bodies and scalar tails both run; then the options those arguments leave at their defaults (float32,
# time-major buffers, skip, carry and zero masks, the statistics keywords, labelled groups, the masked passes over
# float32 and float64 with NaN, infinities and signed zeros, packed and strided). The reports before and after.
RUN = "import json, quorvale_rl_core\nbefore = quorvale_rl_core.runtime_info()\n" + DIGEST + """
rng = np.random.default_rng(5)
r = rng.standard_normal((37, 300)).astype(np.float32)
m = rng.random((37, 300)) < 0.8
parts = [*q.compute_padded_gae(r, r * 0.5, None, m, mask=m, mask_mode="skip"), *q.compute_padded_gae(r.T, r.T, r.T, time_axis=0)]
parts += [q.compute_padded_gae(r, r * 0.5, mask=m, mask_mode=mode)[1] for mode in ("carry", "zero")]
nan = r.copy()  # NaN meeting NaN, from the inputs and from inf * 0.0: the same NaN bits on every path and thread count
nan[::7, ::5] = np.nan
d = rng.random(r.shape) < 0.1
for mode in ("cut", "skip", "carry", "zero"):
    parts += q.compute_padded_gae(nan, nan[:, ::-1], dones=d, mask=m, gamma=float("inf"), gae_lambda=0.5, mask_mode=mode)
for b in ("mean", "median", "min", "leave_one_out"):
    for s in ("group", "batch", "none"):
        parts.append(q.compute_grpo_advantages(r[:, :17], b, s, std_ddof=1, epsilon=1e-6))
        parts.append(q.compute_grpo_advantages_ragged(r.ravel(), None, b, s, group_ids=rng.integers(0, 90, r.size)))
special = nan.copy()  # NaN, infinities and signed zeros through the masked passes' lanes and tails
special[1::9, ::4], special[2::9, 1::6], special[3::9, 2::5] = np.inf, -np.inf, -0.0
wide = rng.integers(0, 2, r.shape)  # int64 flags
for values in (r, special, special.astype(np.float64)):
    for mode in ("whitened", "zero", "times_mask"):
        for flags in (m, wide, None):
            parts.append(q.compute_masked_whitening(values, flags, unmasked=mode, shift_mean=mode != "zero"))
            parts.append(q.compute_masked_whitening(values[:, ::3], flags if flags is None else flags[:, ::3], unmasked=mode))
    for estimator in ("k1", "abs", "k2", "k3"):
        parts.append(q.compute_kl_penalty(values, values[::-1], estimator, wide, rewards=values.T.copy().T, beta=0.3))
        parts.append(q.compute_kl_penalty(values[:, ::2], values[:, 1::2], estimator, m[:, ::2]))
    parts.append(q.broadcast_row_values(values[:, 0], wide, out=np.empty(r.shape, np.float32)))
print("options", hashlib.sha256(flat(parts)).hexdigest())
print(json.dumps([before, q.runtime_info()]))
"""


def run(cap, threads):
    *digest, reports = run_ok(RUN, {"QRL_CPU_FEATURES": cap, "RAYON_NUM_THREADS": threads}).splitlines()
    return digest, json.loads(reports)


def paths_of_this_processor():
    """The x86-64 paths this processor runs, lowest first, from the flags the kernel reports."""
    with open("/proc/cpuinfo") as f:
        flags = next(line for line in f if line.startswith("flags")).split()
    return ["baseline"] + [path for path, flag in (("avx2", "avx2"), ("avx512", "avx512f")) if flag in flags]


@pytest.fixture(scope="module")
def one_thread_baseline():
    return run("baseline", "1")[0]


# The cap names a path exactly; anything else (a list, a longer word, another case, spaces) is no cap.
CAPS = [("baseline", "baseline", "7"), ("avx2", "avx2", "5"), ("avx2", "avx2", None), ("avx512", "avx512", "1"),
        (None, None, "2"), ("", None, "2"), ("unknown-value", None, None), ("AVX2", None, "2"), ("sse9", None, "3"),
        ("avx2,avx512", None, "2"), (" baseline", None, "2"), ("avx2x", None, "2"), ("base", None, "2")]


@pytest.mark.parametrize("cap, named, threads", CAPS)
def test_every_path_and_thread_count(one_thread_baseline, cap, named, threads):
    if SANITIZER and cap and not named:
        pytest.skip("a refused cap runs the path no cap runs; the reading of caps is tested without sanitizers")
    digest, (before, after) = run(cap, threads)
    assert digest == one_thread_baseline
    assert before == dict(after, pool_started=False) and after["pool_started"] and after["pool_failure"] is None
    if threads:
        assert (after["pool_threads"], after["pool_threads_source"]) == (int(threads), "RAYON_NUM_THREADS")
    if platform.machine() == "x86_64":  # equal results do not show which path ran: the report does
        allowed = paths_of_this_processor()
        chosen = allowed[-1] if named is None else allowed[min(["baseline", "avx2", "avx512"].index(named), len(allowed) - 1)]
        assert (after["instruction_set"], after["cpu_features_cap"], after["instruction_sets_allowed"]) == (chosen, named, allowed)
        assert threads or (after["pool_threads"], after["pool_threads_source"]) == (ONLINE, "online")
