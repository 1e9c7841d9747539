# The median's tie and zero-sign rules on every path it takes. A median is what a stable ascending sort by `<` puts
# in the middle: equal values keep their input order, and since equal values differ only in the sign of a zero, the
# input order of the zeros decides the sign of a zero median. Paths: straight insertion (up to 20 values), the
# sorting network over blocks of eight groups (up to 64 members), selection (up to 4095 values), radix selection
# (from 4096 values on); each with odd and even counts.
import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import reference as ref
from comparison import matches
from registry import call, f64


def stable_median(values):
    return ref.middle(sorted(values))  # Python's sort is stable


def median_advantages(rows):
    """Advantages with the median baseline, not standardised: each member minus its group's stable median."""
    medians = [stable_median(row) for row in rows]
    return ref.Vec([x - b for row, b in zip(rows, medians) for x in row])


WORKED = [  # values, median
    ([0.0, -0.0, 1.0], -0.0), ([-0.0, 0.0, 1.0], 0.0),  # the first zero sorts first
    ([0.0, -0.0, -0.0, 1.0], -0.0), ([-0.0, -0.0, 0.0, 1.0], 0.0), ([-0.0, 0.0], 0.0), ([-0.0, -0.0], -0.0),
    ([1.0, -0.0, 0.0, -1.0, 0.0], 0.0), ([1.0, 0.0, -0.0, -1.0, -0.0], -0.0),  # one negative shifts the rank
    ([2.0, 0.0, -0.0, 0.0, 1.0, -0.0], 0.0), ([-1.0, 2.0, 0.0, -0.0, -0.0, 3.0], -0.0),
]


@pytest.mark.parametrize("values, median", WORKED)
def test_worked_medians(values, median):
    assert matches(stable_median(values), median)  # the reference agrees with the worked value
    assert matches(call("compute_reward_statistics", values)["median"], median)
    assert matches(call("compute_group_advantages", f64([values]), "median", False), median_advantages([values]))


def zeros_around_the_middle(n, seed):
    """n values, mostly zeros of both signs in a seeded order, with a few ones of each sign: the middle is a zero."""
    rng = np.random.default_rng(seed)
    x = np.where(rng.random(n) < 0.5, -0.0, 0.0)
    x[rng.choice(n, min(n // 4, 3), replace=False)] = 1.0
    x[rng.choice(n, min(n // 5, 2), replace=False)] = -1.0
    return x


SIZES = [3, 4, 19, 20, 21, 22, 63, 64, 65, 66, 4095, 4096, 4097, 4098]  # both parities around each path's limit
GROUPS = [1, 3, 8, 9, 16]  # one by one, and blocks of eight (the network up to 64 members)


@pytest.mark.parametrize("n", SIZES)
def test_zero_medians_by_size(n):
    """Every size limit, both parities; the sign of the zero median follows the input order: of the statistics, and
    of each group of the group advantages, whichever path (one by one, blocks of eight) the groups take."""
    for seed in range(3):
        x = zeros_around_the_middle(n, seed)
        assert matches(call("compute_reward_statistics", x)["median"], stable_median(x.tolist()))
    for m in GROUPS if n <= 4097 else []:
        x = np.stack([zeros_around_the_middle(n, seed) for seed in range(m)])
        assert matches(call("compute_group_advantages", x, "median", False), median_advantages(x.tolist()))


# Generated: few distinct values, +0.0 and -0.0 always among them and mostly drawn, in shapes that reach each path.
PATHS = {  # (groups, members)
    "insertion": (st.integers(1, 7), st.integers(1, 20)),
    "network": (st.integers(8, 24), st.integers(2, 64)),
    "selection": (st.integers(1, 7), st.integers(21, 400)),
    "lanes with selection": (st.integers(8, 9), st.integers(65, 200)),
    "radix": (st.integers(1, 2), st.integers(4096, 4300)),
}


@st.composite
def few_valued(draw, path):
    m, n = draw(PATHS[path][0]), draw(PATHS[path][1])
    others = draw(st.lists(st.sampled_from([1.0, -1.0, 2.0, -0.5, 3.0]), max_size=3, unique=True))
    zero_share = draw(st.sampled_from([0.5, 0.8, 1.0])) if others else 1.0
    p = [zero_share / 2] * 2 + [(1 - zero_share) / max(len(others), 1)] * len(others)
    rng = np.random.default_rng(draw(st.integers(0, 2 ** 32 - 1)))
    return rng.choice(np.array([0.0, -0.0, *others]), size=(m, n), p=p)


@pytest.mark.parametrize("path", PATHS)
@given(data=st.data())
def test_generated_medians_follow_the_stable_order(path, data):
    x = data.draw(few_valued(path))
    assert matches(call("compute_group_advantages", x, "median", False), median_advantages(x.tolist()))
    for row in x[:2]:
        assert matches(call("compute_reward_statistics", row)["median"], stable_median(row.tolist()))
