# Every instruction-set path (QRL_CPU_FEATURES caps the one the processor would pick) gives the same
# results; the variable never makes a call fail, whatever its value.
import pytest

from processes import run_ok
from test_runtime import WORKLOAD

# Sizes around every lane count (2, 4 and 8 doubles), so vector bodies and scalar tails both run.
DIGEST = WORKLOAD + """
import numpy as np
def canonical(a):  # the sign and payload of a NaN are not fixed by IEEE 754
    return np.where(np.isnan(a), np.nan, a).tobytes()
rng = np.random.default_rng(3)
out = []
for n in (1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17):
    r, a = rng.normal(size=n), rng.normal(size=n)
    r[rng.random(n) < 0.2] = np.nan
    out += [q.compute_ppo_surrogate(np.exp(r), a), q.apply_gspo_clipping(np.exp(r), a, 0.0, 0.0),
            q.clip_rewards_py(r, -0.5, 0.5), q.normalize_rewards(r)[0], np.array(list(q.compute_reward_statistics(a).values()))]
    m = rng.normal(size=(n, 5))
    out += [q.compute_group_advantages(m, b, z) for b in ("mean", "median", "min") for z in (False, True)]
    out += q.batch_compute_gae([rng.normal(size=6) for _ in range(n)], [rng.normal(size=7) for _ in range(n)], 0.9, 0.8)
print(hashlib.sha256(b"".join(canonical(a) for a in out)).hexdigest(), work())
"""
DIGEST = DIGEST.replace("return hashlib.sha256(b\"\".join(a.tobytes()", "return hashlib.sha256(b\"\".join(canonical(a)")


@pytest.fixture(scope="module")
def uncapped():
    return run_ok(DIGEST, {"QRL_CPU_FEATURES": None, "RAYON_NUM_THREADS": "2"})


@pytest.mark.parametrize("cap", ["baseline", "avx2", "avx512", "", "AVX2", "sse9", "avx2,avx512", " baseline"])
def test_every_path_gives_the_same_results(uncapped, cap):
    assert run_ok(DIGEST, {"QRL_CPU_FEATURES": cap, "RAYON_NUM_THREADS": "2"}) == uncapped
