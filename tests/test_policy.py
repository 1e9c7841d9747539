"""GSPO sequence ratios, GSPO clipping and the PPO clipped surrogate."""
import math

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import quorvale_rl_core as q
import reference as ref
from conftest import FLOATS, assert_like_reference, bits_equal, f64, float_lists, is_result_vector, raises_panic

NAN, INF = math.nan, math.inf
LENGTHS = st.lists(st.one_of(st.integers(-3, 40), st.integers(-2 ** 63, 2 ** 63 - 1)), max_size=300)


def i64(values):
    return np.array(values, dtype=np.int64)


@pytest.mark.parametrize("new, old, lengths, expected", [
    ([-10.0], [-12.0], [4], [1.6487212707001282]),
    ([1.0, 2.0, 3.0, 4.0, 5.0], [1.0, 2.0, 3.0], [1, 1, 1, 1], [1.0, 1.0, 1.0]),
    ([0.5], [0.25], [1], [math.exp(0.25)]),
    ([NAN, INF, -INF, 3.0], [1.0, INF, 2.0, NAN], [0, -3, 0, -(2 ** 63)], [1.0, 1.0, 1.0, 1.0]),
    ([800.0, -800.0], [0.0, 0.0], [1, 1], [INF, 0.0]),
    ([NAN, 1.0, INF], [0.0, 0.0, INF], [2, 2, 3], [NAN, math.exp(0.5), NAN]),
    ([-7.0, -7.0], [-7.0, -7.0], [5, 2 ** 62], [1.0, 1.0]),
    ([], [1.0], [1], []), ([1.0], [], [1], []), ([1.0], [1.0], [], []),
])
def test_gspo_ratios_worked_values(new, old, lengths, expected):
    out = q.compute_gspo_importance_ratios(f64(new), f64(old), i64(lengths))
    assert is_result_vector(out) and bits_equal(out, expected)


@given(float_lists(), float_lists(), LENGTHS)
def test_gspo_ratios_match_reference(new, old, lengths):
    out = q.compute_gspo_importance_ratios(f64(new), f64(old), i64(lengths))
    assert bits_equal(out, ref.gspo_ratios(new, old, lengths))


# ---------------------------------------------------------------- GSPO clipping

@pytest.mark.parametrize("r, a, widths, expected", [
    (1.001, 2.0, {}, 2.0008), (1.5, 2.0, {}, 2.0008), (0.9, 1.0, {}, 0.9), (0.9, -1.0, {}, -0.9997),
    (0.5, -2.0, {}, -1.9994), (1.1, -1.0, {}, -1.1), (NAN, 2.0, {}, 2.0008), (NAN, -1.0, {}, -0.9997),
    (1.0, NAN, {}, NAN), (INF, 0.0, {}, 0.0), (INF, -0.0, {}, -0.0),
    (1.5, 2.0, dict(clip_right=NAN), 3.0), (0.5, -2.0, dict(clip_left=NAN), -1.0),
    (1.5, 2.0, dict(clip_left=0.0, clip_right=0.0), 2.0), (0.5, -2.0, dict(clip_left=0.0, clip_right=0.0), -2.0),
    (1.5, 2.0, dict(clip_right=0.1), 2.2), (0.5, -2.0, dict(clip_left=-0.5), -3.0),
    (0.5, 1.0, dict(clip_left=0.2, clip_right=-0.8), 0.19999999999999996),
])
def test_gspo_clipping_worked_values(r, a, widths, expected):
    out = q.apply_gspo_clipping(f64([r]), f64([a]), **widths)
    assert is_result_vector(out) and bits_equal(out, [expected])
    assert bits_equal(out, ref.gspo_clipping([r], [a], **widths))


@given(float_lists(), float_lists(), FLOATS, FLOATS)
def test_gspo_clipping_matches_reference(r, a, left, right):
    assert bits_equal(q.apply_gspo_clipping(f64(r), f64(a), left, right), ref.gspo_clipping(r, a, left, right))


# ---------------------------------------------------------------- PPO surrogate

@pytest.mark.parametrize("r, a, eps, expected", [
    (1.5, 2.0, (), 2.4), (0.5, 2.0, (), 1.0), (0.5, -1.0, (), -0.8), (1.5, -1.0, (), -1.5),
    (NAN, 1.0, (), NAN), (1.0, NAN, (), NAN), (INF, 0.0, (), 0.0), (-INF, -1.0, (), -0.8),
    (1.5, 2.0, (0.0,), 2.0), (0.5, 2.0, (0.0,), 1.0), (3.0, 2.0, (INF,), 6.0), (-5.0, -1.0, (INF,), 5.0),
    (1.5, 2.0, (-1e-17,), 2.0), (0.5, -2.0, (-1e-17,), -2.0), (0.0, -0.0, (), -0.0), (-0.0, 0.0, (), -0.0),
])
def test_ppo_worked_values(r, a, eps, expected):
    out = q.compute_ppo_surrogate(f64([r]), f64([a]), *eps)
    assert is_result_vector(out) and bits_equal(out, [expected])


@pytest.mark.parametrize("eps, bounds", [
    (-0.1, "min = 1.1, max = 0.9"),
    (NAN, "min = NaN, max = NaN"),
    (-INF, "min = inf, max = -inf"),
    (-1e20, "min = 1e20, max = -1e20"),
    (-1e-16, "min = 1.0, max = 0.9999999999999999"),
    (-2.0, "min = 3.0, max = -1.0"),
])
def test_ppo_bound_failure(eps, bounds, capfd):
    for n in (1, 5000):
        with raises_panic("min > max, or either was NaN. " + bounds):
            q.compute_ppo_surrogate(np.ones(n), np.ones(n + 1), eps)
    for r, a in ((f64([]), f64([1.0])), (f64([1.0]), f64([])), (f64([]), f64([]))):
        out = q.compute_ppo_surrogate(r, a, eps)
        assert is_result_vector(out) and out.shape == (0,)
    assert bits_equal(q.compute_ppo_surrogate(f64([1.5]), f64([2.0])), [2.4])


@given(float_lists(), float_lists(), st.one_of(st.floats(-0.5, 1.0), FLOATS))
def test_ppo_matches_reference(r, a, eps):
    assert_like_reference(lambda: q.compute_ppo_surrogate(f64(r), f64(a), eps), lambda: ref.ppo_surrogate(r, a, eps))
