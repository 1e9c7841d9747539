"""Every vector kernel on inputs that reach vector bodies and scalar tails, and every kernel of the test registry.

`isa_paths.py write FILE` stores the results; `isa_paths.py compare FILE`
recomputes them and counts results that differ in any bit (NaN results only as
NaN: IEEE 754 leaves their sign and payload open).  .ci/isa runs the comparison
on every instruction-set path (QRL_CPU_FEATURES, emulated processors), and
.ci/aarch64 on the NEON path against results written on x86-64.
"""

import pickle
import sys
from pathlib import Path

import numpy as np

import quorvale_rl_core as q

# The test registry: beside this script (a copy in an emulated root) or in the checkout's tests/.
here = Path(__file__).resolve().parent
sys.path.insert(0, str(here / "tests" if (here / "tests").is_dir() else here.parent / "tests"))
from registry import KERNELS, REGISTRY  # noqa: E402

rng = np.random.default_rng(7)
special = np.array([0.0, -0.0, 1.0, -1.0, np.nan, np.inf, -np.inf, 0.8, 1.2, 1e-300, -5e-324, 0.9997, 1.0004])


def vec(n):
    x = rng.standard_normal(n)
    m = rng.random(n) < 0.3
    x[m] = rng.choice(special, m.sum())
    return x


out = []
for n in (0, 1, 7, 8, 9, 63, 64, 65, 1000):
    r, a = vec(n), vec(n)
    for eps in (0.2, 0.0, np.inf, -1e-17):
        out.append(q.compute_ppo_surrogate(r, a, eps))
    for cl, cr in ((0.0003, 0.0004), (0.0, 0.0), (2.0, -1.0), (np.nan, 0.5), (-1.0, np.inf)):
        out.append(q.apply_gspo_clipping(r, a, cl, cr))
    if n:
        out.append(q.clip_rewards_py(r, -0.5, 0.5))
        out.append(q.clip_rewards_py(r, 0.0, 0.0))
        out.append(q.normalize_rewards(r)[0])
        out.append(list(q.compute_reward_statistics(np.nan_to_num(r, nan=0.5)).items()))
for m, n in ((9, 5), (17, 33), (8, 1), (16, 64), (3, 5000)):
    R = vec(m * n).reshape(m, n)
    for b in ("mean", "median", "min"):
        for norm in (False, True):
            out.append(q.compute_group_advantages(R, b, norm))
            out.append(q.compute_group_advantages(R[::-1, ::-1], b, norm))
rs = [vec(int(k)) for k in [40] * 17 + [3, 0, 40]]
vs = [vec(int(k)) for k in rng.integers(0, 45, len(rs))]
out.extend(q.batch_compute_gae(rs, vs, 0.99, 0.95))
out.append(list(q.compute_reward_statistics(rng.standard_normal(10001)).items()))
for m, n in ((9, 5), (17, 33), (3, 600)):  # the trainer kernels
    R, V, N = vec(m * n).reshape(m, n), vec(m * n).reshape(m, n), vec(m * n).reshape(m, n)
    flags = [rng.random((m, n)) < p for p in (0.1, 0.1, 0.8)]
    out.extend(q.compute_padded_gae(R, V, N, *flags, 0.99, 0.95))
    out.extend(q.compute_padded_gae(R[::-1, ::-1], V, N, *flags))
    for b in ("mean", "median", "min", "leave_one_out"):
        for scale in ("group", "batch", "none"):
            out.append(q.compute_grpo_advantages(R, b, scale))
            cuts = np.sort(rng.integers(0, m * n + 1, m))
            lengths = np.diff(np.concatenate([[0], cuts, [m * n]]))  # unequal groups, some empty
            out.append(q.compute_grpo_advantages_ragged(R.ravel(), lengths, b, scale))
# Every kernel of the registry on its large arguments, but those whose results come from the C library's exp.
for name in KERNELS:
    if not REGISTRY[name].libm:
        out.append(getattr(q, name)(*REGISTRY[name].large(np.random.default_rng(11))))


def arrays(result):
    """A result as float64 arrays, each compared bit for bit (dicts by value, sequences item by item)."""
    if isinstance(result, dict):
        result = list(result.values())
    if isinstance(result, str):  # a statistic's name
        return []
    if isinstance(result, (list, tuple)):
        return [a for r in result for a in arrays(r)]
    return [np.asarray(result, dtype=np.float64)]


results = [a for o in out for a in arrays(o)]
blob = pickle.dumps(results)
if sys.argv[1] == "write":
    open(sys.argv[2], "wb").write(blob)
    print("written", len(results))
else:
    ref = pickle.loads(open(sys.argv[2], "rb").read())
    got = pickle.loads(blob)
    bad = 0
    for x, y in zip(ref, got):
        bad += not np.array_equal(x.view(np.int64), y.view(np.int64)) and not np.array_equal(x, y, equal_nan=True)
    print("compared", len(ref), "results, mismatches:", bad)
    sys.exit(1 if bad or len(ref) != len(got) else 0)
