# The nine computations: worked values, generated cases against the reference, the parallel path.
import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import reference as ref
from comparison import assert_like_reference, expect, matches
from generators import call_args, long_vectors
from registry import BOUNDS, KINDS, NAMES, UNWRAP, call, f64

NAN, INF = math.nan, math.inf
BIG = 2 ** 63 - 1


def convert(name, args):
    """Plain lists to the array kinds the function takes."""
    as_kind = {"vec": f64, "mat": f64, "ivec": lambda x: np.array(x, np.int64), "veclist": lambda x: [f64(i) for i in x]}
    return [as_kind.get(k, lambda x: x)(a) for k, a in zip(KINDS[name], args)]


def out(name, expected):
    if isinstance(expected, str):
        return ref.Failure((BOUNDS if expected.startswith("min =") else "") + expected)
    return ref.Vec(expected) if isinstance(expected, list) and name != "batch_compute_gae" else expected


def stats(*values):
    return dict(zip(["mean", "std", "min", "max", "median", "count"], values))


WORKED = [  # the documented examples
    ("compute_gae", ([1.0, 1.0, 1.0], [0.0] * 4), [2.82504025, 1.9405000000000001, 1.0]),
    ("compute_gae", ([1.0, 0.0], [0.5, 0.25, 2.0], 0.5, 0.5), [0.8125, 0.75]), ("compute_gae", ([1.0], [0.5]), [0.5]),
    ("compute_gae", ([1.0, 2.0], []), [2.8810000000000002, 2.0]), ("compute_gae", ([1.0], [0.0, 1.0, 5.0]), [1.99]),
    ("compute_gae", ([1.0, 2.0, 3.0], [0.0, NAN, 0.0, 3.0]), [NAN, NAN, 5.97]),  # a NaN value reaches backward only
    ("batch_compute_gae", ([[1.0, 2.0], [1.0, 1.0, 1.0], [9.0]], [[0.5], [0.5] * 4]),
     [ref.Vec([2.3810000000000002, 2.0]), ref.Vec([2.81091504875, 1.9307975000000002, 0.9950000000000001])]),
    ("compute_group_advantages", ([[3.0, 1.0, 2.0, 10.0]], "median", False), [0.5, -1.5, -0.5, 7.5]),
    ("compute_group_advantages", ([[3.0, 1.0, 2.0]], "min", False), [2.0, 0.0, 1.0]),
    ("compute_group_advantages", ([[1.0, 2.0, 3.0, 4.0]], "max", False), [-1.5, -0.5, 0.5, 1.5]),
    ("compute_group_advantages", ([[1.0, 2.0, 3.0, 4.0]], "mean", True),
     [-1.341640774499874, -0.447213591499958, 0.447213591499958, 1.341640774499874]),
    ("compute_group_advantages", ([[0.0, 1.0], [0.1, 0.1]], "mean", True), [-0.9999999800000003, 0.9999999800000003, 0.0, 0.0]),
    ("compute_group_advantages", ([[0.1, 0.1, 0.1]], "mean", True), [-1.3877787807814457e-17] * 3),
    ("compute_group_advantages", ([[-0.0]], "mean", False), [0.0]), ("compute_group_advantages", ([[7.5]], "min", True), [0.0]),
    ("compute_group_advantages", ([[NAN, 1.0, 2.0]], "min", True), [NAN, 0.0, 1.0]),
    ("compute_group_advantages", ([[3.0, NAN, 1.0], [NAN, 2.0, 1.0]], "median", False), [NAN] * 3 + [NAN, 1.0, 0.0]),
    ("normalize_rewards", ([], 0.5, 2.0, 7), (ref.Vec(), 0.5, 2.0, 7)), ("normalize_rewards", ([5.0],), (ref.Vec([0.0]), 5.0, 0.0, 1)),
    ("normalize_rewards", ([1.0, 2.0, 3.0],), (ref.Vec([-1.2247448622060026, 0.0, 1.2247448622060026]), 2.0, 0.6666666666666666, 3)),
    ("normalize_rewards", ([3.0, 4.0], 1.5, 0.25, 2), (ref.Vec([0.44721359371110364, 1.3416407811333109]), 2.5, 1.25, 4)),
    ("normalize_rewards", ([1.0], 0.0, 1.0, BIG), OverflowError("count + len(rewards) does not fit in a signed 64-bit integer")),
    ("clip_rewards_py", ([-2.0, 0.5, 3.0, NAN], -1.0, 1.0), [-1.0, 0.5, 1.0, NAN]), ("clip_rewards_py", ([], 1.0, 0.0), []),
    ("clip_rewards_py", ([-0.0, 0.0], 0.0, -0.0), [-0.0, 0.0]), ("clip_rewards_py", ([0.5], 1.0, 0.0), "min = 1.0, max = 0.0"),
    ("clip_rewards_py", ([0.5], NAN, 1.0), "min = NaN, max = 1.0"), ("clip_rewards_py", ([0.5], 3, -1e20), "min = 3.0, max = -1e20"),
    ("clip_rewards_py", ([0.5], 1e16, 1e15), "min = 1e16, max = 1000000000000000.0"),
    ("clip_rewards_py", ([0.5], 2.5e-5, -0.0), "min = 2.5e-5, max = -0.0"),
    ("clip_rewards_py", ([0.5], 0.0001, -1.5e20), "min = 0.0001, max = -1.5e20"),
    ("compute_reward_statistics", ([],), stats(0.0, 0.0, 0.0, 0.0, 0.0)),
    ("compute_reward_statistics", ([1.0, 2.0, 3.0, 4.0],), stats(2.5, 1.118033988749895, 1.0, 4.0, 2.5, 4.0)),
    ("compute_reward_statistics", ([2.0, -1.0, 7.0, 7.0, 0.5],), stats(3.1, 3.3226495451672298, -1.0, 7.0, 2.0, 5.0)),
    ("compute_reward_statistics", ([NAN],), stats(NAN, NAN, INF, -INF, NAN, 1.0)),
    ("compute_reward_statistics", ([-0.0],), stats(-0.0, 0.0, -0.0, -0.0, -0.0, 1.0)),
    ("compute_reward_statistics", ([1.0, NAN],), UNWRAP),
    ("compute_gspo_importance_ratios", ([-10.0, 1.0], [-12.0, 1.0, 2.0], [4, 1, 1]), [1.6487212707001282, 1.0]),
    ("compute_gspo_importance_ratios", ([NAN, 800.0, -800.0], [1.0, 0.0, 0.0], [-3, 1, 1]), [1.0, INF, 0.0]),
    ("apply_gspo_clipping", ([1.001, 0.9, 0.9, 0.5, 1.1, NAN, NAN, 1.0, INF], [2.0, 1.0, -1.0, -2.0, -1.0, 2.0, -1.0, NAN, 0.0]),
     [2.0008, 0.9, -0.9997, -1.9994, -1.1, 2.0008, -0.9997, NAN, 0.0]),
    ("apply_gspo_clipping", ([1.5], [2.0], 0.0003, NAN), [3.0]),
    ("compute_ppo_surrogate", ([1.5, 0.5, 0.5, 1.5, NAN, INF, -INF], [2.0, 2.0, -1.0, -1.0, 1.0, 0.0, -1.0]),
     [2.4, 1.0, -0.8, -1.5, NAN, 0.0, -0.8]),
    ("compute_ppo_surrogate", ([1.5, 0.5], [2.0, -2.0], -1e-17), [2.0, -2.0]), ("compute_ppo_surrogate", ([], [1.0], -0.1), []),
    ("compute_ppo_surrogate", ([1.0], [1.0], -0.1), "min = 1.1, max = 0.9"),
    ("compute_ppo_surrogate", ([1.0], [1.0], NAN), "min = NaN, max = NaN"),
    ("compute_ppo_surrogate", ([1.0], [1.0], -INF), "min = inf, max = -inf"),
    ("compute_ppo_surrogate", ([1.0], [1.0], -1e-16), "min = 1.0, max = 0.9999999999999999"),
]


@pytest.mark.parametrize("name, args, expected", WORKED)
def test_worked_values(name, args, expected):
    """The documented examples hold for the module, and for the reference the generated cases rely on."""
    args, expected = convert(name, args), out(name, expected)
    assert_like_reference(name, args)
    if isinstance(expected, Exception):
        assert repr(expect(name, args, {})) == repr(expected)
    else:
        assert matches(call(name, *args), expected)


@pytest.mark.parametrize("name", NAMES)
@given(data=st.data())
def test_matches_reference(name, data):
    """Every layout, special value, length and default; the module equals the reference bit for bit."""
    args, kwargs = data.draw(call_args(name))
    assert_like_reference(name, args, kwargs)


# ---------------------------------------------------------------- the parallel path

@settings(max_examples=12)
@given(long_vectors(), st.integers(1, 60), st.sampled_from(["mean", "median", "min"]), st.booleans(), st.floats(-1, 2))
def test_parallel_calls_equal_serial_pieces(pool, width, baseline, normalize, scalar):
    """Large calls run on the pool; they equal the concatenation of small calls, which run serially."""
    rng, n, pool = np.random.default_rng(width), 300_000, pool if pool.size else f64([1.0])
    x, y, lengths, m = rng.choice(pool, n), rng.choice(pool, n), rng.integers(-2, 60, n), np.resize(pool, (4000, width))
    for name, args, piece in [("compute_gspo_importance_ratios", (x, y, lengths), 700), ("apply_gspo_clipping", (x, y, scalar, scalar), 700),
                              ("compute_ppo_surrogate", (x, y, abs(scalar)), 700), ("compute_group_advantages", (m, baseline, normalize), 97)]:
        pieces = [call(name, *[a[i:i + piece] if isinstance(a, np.ndarray) else a for a in args]) for i in range(0, len(args[0]), piece)]
        assert matches(call(name, *args), ref.Vec(np.concatenate(pieces).tolist())), name
    # Ragged trajectories, and trajectories of one length that run side by side in vector lanes; values short, exact
    # and long. Each must equal compute_gae alone.
    for lengths in (rng.integers(0, 400, 700), np.full(rng.integers(0, 700), width)):
        rows = [rng.choice(pool, k) for k in lengths]
        values = [rng.choice(pool, max(0, k + d)) for k, d in zip(lengths, rng.integers(-3, 4, len(lengths)))]
        for got, r, v in zip(call("batch_compute_gae", rows, values, 0.97, 0.9), rows, values):
            assert matches(got, ref.Vec(call("compute_gae", r, v, 0.97, 0.9).tolist()))
