"""Running normalisation, clipping and batch statistics of rewards."""
import math

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import quorvale_rl_core as q
import reference as ref
from conftest import FLOATS, assert_like_reference, bits_equal, f64, float_lists, is_result_vector, raises_panic, same

NAN, INF = math.nan, math.inf
BIG = 2 ** 63 - 1
OVERFLOW = "count + len(rewards) does not fit in a signed 64-bit integer"


def check_normalized(out, expected):
    assert type(out) is tuple and len(out) == 4 and is_result_vector(out[0])
    assert [type(x) for x in out[1:]] == [float, float, int]
    assert bits_equal(out[0], expected[0]) and same(out[1:], tuple(expected[1:]))


@pytest.mark.parametrize("rewards, stats, expected", [
    ([], (), ([], 0.0, 1.0, 0)),
    ([], (0.5, 2.0, 7), ([], 0.5, 2.0, 7)),
    ([], (1, -3.0, BIG), ([], 1.0, -3.0, BIG)),
    ([5.0], (), ([0.0], 5.0, 0.0, 1)),
    ([1.0, 2.0, 3.0], (), ([-1.2247448622060026, 0.0, 1.2247448622060026], 2.0, 0.6666666666666666, 3)),
    ([1.0, 2.0], (), ([-0.9999999800000006, 0.9999999800000006], 1.5, 0.25, 2)),
    ([3.0, 4.0], (1.5, 0.25, 2), ([0.44721359371110364, 1.3416407811333109], 2.5, 1.25, 4)),
    ([1.0, 2.0, 3.0, 4.0], (), ([-1.3416407811333109, -0.44721359371110364, 0.44721359371110364,
                                 1.3416407811333109], 2.5, 1.25, 4)),
    ([2.0], (0.0, 1.0, True), ref.normalize_rewards([2.0], 0.0, 1.0, 1)),
    ([1.0, NAN], (), ([NAN, NAN], NAN, NAN, 2)),
    ([1.0, 3.0], (0.0, 0.0, -1), ref.normalize_rewards([1.0, 3.0], 0.0, 0.0, -1)),  # first step divides by zero
    ([2.0, 2.0], (0.0, 1.0, 0, 0.0), ([NAN, NAN], 2.0, 0.0, 2)),
    ([1.0], (0.0, 1.0, BIG - 1), ref.normalize_rewards([1.0], 0.0, 1.0, BIG - 1)),
])
def test_normalize_worked_values(rewards, stats, expected):
    x = f64(rewards)
    check_normalized(q.normalize_rewards(x, *stats), expected)
    assert bits_equal(x, rewards)


@pytest.mark.parametrize("count, n", [(BIG, 1), (BIG - 2, 3), (BIG, 100)])
def test_normalize_count_overflow(count, n):
    with pytest.raises(OverflowError) as info:
        q.normalize_rewards(np.ones(n), count=count)
    assert type(info.value) is OverflowError and str(info.value) == OVERFLOW


@given(float_lists(), FLOATS, FLOATS, st.one_of(st.integers(-3, 10), st.integers(-2 ** 63, 2 ** 63 - 301)),
       st.one_of(st.just(1e-8), FLOATS))
def test_normalize_matches_reference(rewards, mean, var, count, eps):
    check_normalized(q.normalize_rewards(f64(rewards), mean, var, count, eps),
                     ref.normalize_rewards(rewards, mean, var, count, eps))


# ---------------------------------------------------------------- clipping

@pytest.mark.parametrize("rewards, lo, hi, expected", [
    ([-2.0, 0.5, 3.0], -1.0, 1.0, [-1.0, 0.5, 1.0]),
    ([NAN, 5.0], 0.0, 1.0, [NAN, 1.0]),
    ([1.0, 3.0], 2.0, 2.0, [2.0, 2.0]),
    ([-0.5, 0.25, 7.0], 0, 1, [0.0, 0.25, 1.0]),
    ([-0.0, 0.0], 0.0, -0.0, [-0.0, 0.0]),
    ([-INF, INF], -INF, 5.0, [-INF, 5.0]),
    ([], 1.0, 0.0, []),
    ([], NAN, NAN, []),
])
def test_clip_worked_values(rewards, lo, hi, expected):
    x = f64(rewards)
    out = q.clip_rewards_py(x, lo, hi)
    assert is_result_vector(out) and bits_equal(out, expected) and bits_equal(x, rewards)


@pytest.mark.parametrize("lo, hi, message", [
    (1.0, 0.0, "min = 1.0, max = 0.0"),
    (NAN, 1.0, "min = NaN, max = 1.0"),
    (0.0, -NAN, "min = 0.0, max = NaN"),
    (3, -1e20, "min = 3.0, max = -1e20"),
    (1e16, 1e15, "min = 1e16, max = 1000000000000000.0"),
    (2.5e-5, -1.5e20, "min = 2.5e-5, max = -1.5e20"),
    (0.0001, -0.0, "min = 0.0001, max = -0.0"),
    (INF, -INF, "min = inf, max = -inf"),
    (5e-324, -1e-300, "min = 5e-324, max = -1e-300"),
])
def test_clip_bad_bounds_are_internal_failures(lo, hi, message, capfd):
    with raises_panic("min > max, or either was NaN. " + message):
        q.clip_rewards_py(f64([0.5]), lo, hi)
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        q.clip_rewards_py(f64([0.5, 1.0, 2.0])[::2], lo, hi)
    assert bits_equal(q.clip_rewards_py(f64([0.5, 2.0]), 0.0, 1.0), [0.5, 1.0])  # next call works


@given(float_lists(), FLOATS, FLOATS)
def test_clip_matches_reference(rewards, lo, hi):
    assert_like_reference(lambda: q.clip_rewards_py(f64(rewards), lo, hi), lambda: ref.clip_rewards(rewards, lo, hi))


# ---------------------------------------------------------------- statistics

@pytest.mark.parametrize("rewards, expected", [
    ([], dict(mean=0.0, std=0.0, min=0.0, max=0.0, median=0.0)),
    ([3.0], dict(mean=3.0, std=0.0, min=3.0, max=3.0, median=3.0, count=1.0)),
    ([1.0, 2.0, 3.0, 4.0], dict(mean=2.5, std=1.118033988749895, min=1.0, max=4.0, median=2.5, count=4.0)),
    ([5, 1, 3], dict(mean=3.0, std=1.632993161855452, min=1.0, max=5.0, median=3.0, count=3.0)),
    ([2.0, -1.0, 7.0, 7.0, 0.5], dict(mean=3.1, std=3.3226495451672298, min=-1.0, max=7.0, median=2.0, count=5.0)),
    ([-0.0], dict(mean=-0.0, std=0.0, min=-0.0, max=-0.0, median=-0.0, count=1.0)),
    ([-0.0, -0.0], dict(mean=-0.0, std=0.0, min=-0.0, max=-0.0, median=-0.0, count=2.0)),
    ([0.0, -0.0], dict(mean=0.0, std=0.0, min=-0.0, max=0.0, median=0.0, count=2.0)),
    ([NAN], dict(mean=NAN, std=NAN, min=INF, max=-INF, median=NAN, count=1.0)),
    ([INF, -INF, 1.0], dict(mean=NAN, std=NAN, min=-INF, max=INF, median=1.0, count=3.0)),
])
def test_statistics_worked_values(rewards, expected):
    for container in (list, tuple, f64):
        assert same(q.compute_reward_statistics(container(rewards)), expected)


@pytest.mark.parametrize("rewards", [[1.0, NAN], [NAN, 1.0, 2.0], [1.0, 2.0, 3.0, NAN], [NAN, NAN]])
def test_statistics_nan_is_internal_failure(rewards, capfd):
    with raises_panic("called `Option::unwrap()` on a `None` value"):
        q.compute_reward_statistics(rewards)
    assert q.compute_reward_statistics([2.0])["median"] == 2.0


@given(st.one_of(float_lists(), st.lists(st.floats(allow_nan=False), max_size=300)))
def test_statistics_match_reference(rewards):
    for container in (list, tuple, f64):
        assert_like_reference(lambda: q.compute_reward_statistics(container(rewards)),
                              lambda: ref.reward_statistics(rewards))
