# The trainer-shaped kernels (padded GAE, GRPO baselines over equal or ragged groups): worked examples, agreement
# with compute_gae / compute_group_advantages where the semantics coincide, generated groups against the slow
# models of reference.py, bit for bit (the buffers, options and refusals: tests/test_trainer_buffers.py).
import math

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import quorvale_rl_core as q
import reference as ref
from comparison import matches
from generators import long_vectors
from registry import f64

NAN, INF = math.nan, math.inf


def same_bits(got, expected):
    return matches(np.asarray(got).ravel().tolist(), np.asarray(expected, dtype=float).ravel().tolist())


# ---------------------------------------------------------------- worked examples (quoted in docs/trainer_kernels.md)

def test_padded_gae_worked_example():
    rewards = f64([[1.0, 1.0, 1.0, 1.0], [1.0, 2.0, 0.0, 0.0]])
    values = next_values = np.full((2, 4), 0.5)
    dones = np.array([[False, True, False, False], [False, False, False, False]])
    truncated = np.array([[False, False, False, True], [False, False, False, False]])
    mask = np.array([[True, True, True, True], [True, True, False, False]])
    adv, ret = q.compute_padded_gae(rewards, values, next_values, dones, truncated, mask, gamma=0.5, gae_lambda=0.5)
    assert adv.tolist() == [[0.875, 0.5, 0.9375, 0.75], [1.1875, 1.75, 0.0, 0.0]]
    assert ret.tolist() == [[1.375, 1.0, 1.4375, 1.25], [1.6875, 2.25, 0.0, 0.0]]


@pytest.mark.parametrize("call, expected", [
    (lambda: q.compute_grpo_advantages(f64([[1.0, 2.0, 3.0, 4.0]]), "leave_one_out", "none"),
     [[-2.0, -0.6666666666666665, 0.6666666666666665, 2.0]]),
    (lambda: q.compute_grpo_advantages(f64([[1.0, 2.0], [3.0, 7.0]]), "mean", "batch"),
     [[-0.3429971679320765, 0.3429971679320765], [-1.371988671728306, 1.371988671728306]]),
    (lambda: q.compute_grpo_advantages(f64([[1.0, 2.0], [3.0, 7.0]]), "min", "none"), [[0.0, 1.0], [0.0, 4.0]]),
    (lambda: q.compute_grpo_advantages_ragged(f64([3.0, 1.0, 2.0, 10.0, 5.0, 1.0, 2.0]), np.array([4, 1, 0, 2]), "median", "none"),
     [0.5, -1.5, -0.5, 7.5, 0.0, -0.5, 0.5]),
    (lambda: q.compute_grpo_advantages_ragged(f64([4.0, 1.0, 2.0, 6.0]), np.array([1, 3]), "leave_one_out", "group"),
     [0.0, -0.9258200969154086, -0.4629100484577043, 1.388730145373113]),
])
def test_grpo_worked_examples(call, expected):
    assert same_bits(call(), expected), call().tolist()


# ---------------------------------------------------------------- where the semantics coincide with the nine

@given(st.integers(0, 2 ** 32 - 1), st.sampled_from([(0.99, 0.95), (0.9, 1.0), (1.0, 0.0)]))
def test_rows_equal_compute_gae_on_each_episode(seed, discounts):
    """A row of episodes cut by dones and truncations, then padding, equals compute_gae episode by episode."""
    rng = np.random.default_rng(seed)
    rows, steps = 9, 60
    rewards, values = rng.normal(size=(rows, steps)), rng.normal(size=(rows, steps))
    dones, truncated = rng.random((rows, steps)) < 0.05, rng.random((rows, steps)) < 0.05
    # Within an episode the next state's value is the next column; after a cut, that of the final observation.
    next_values = np.concatenate([values[:, 1:], rng.normal(size=(rows, 1))], axis=1)
    next_values[truncated] = rng.normal(size=int(truncated.sum()))
    mask = np.arange(steps)[None, :] < rng.integers(0, steps + 1, size=(rows, 1))
    adv, _ = q.compute_padded_gae(rewards, values, next_values, dones, truncated, mask, *discounts)
    for b in range(rows):
        length, start = int(mask[b].sum()), 0
        for t in range(length):
            if dones[b, t] or truncated[b, t] or t == length - 1:
                v = values[b, start:t + 1]  # done: no bootstrap entry, as compute_gae reads a missing value as 0.0
                if not dones[b, t]:
                    v = np.append(v, next_values[b, t])
                assert same_bits(adv[b, start:t + 1], q.compute_gae(rewards[b, start:t + 1].copy(), v, *discounts))
                start = t + 1
        assert not adv[b, length:].any()


# ---------------------------------------------------------------- group baselines against the model

BASELINES, SCALES = ["mean", "median", "min", "leave_one_out"], ["group", "batch", "none"]


@st.composite
def ragged_groups(draw):
    lengths = draw(st.lists(st.sampled_from([0, 1, 2, 3, 8, 16, 21, 40]), max_size=30))
    if draw(st.booleans()):  # long runs of equal sizes take the vector lanes
        lengths = [draw(st.sampled_from([1, 2, 5, 16]))] * draw(st.integers(0, 40))
    x = draw(long_vectors())
    x = np.resize(x, sum(lengths)) if x.size else np.zeros(sum(lengths))
    return x, np.array(lengths, np.int64)


@given(ragged_groups(), st.sampled_from(BASELINES), st.sampled_from(SCALES))
def test_ragged_groups_like_model(groups, baseline, scale):
    x, lengths = groups
    got = q.compute_grpo_advantages_ragged(x, lengths, baseline, scale)
    expected = ref.compute_grpo_advantages_ragged(x, lengths, baseline, scale)
    assert got.shape == x.shape and (expected is None or same_bits(got, expected))
    strided = np.repeat(x, 2)[::2]  # any stride reads the same
    assert same_bits(q.compute_grpo_advantages_ragged(strided, lengths, baseline, scale), got) or expected is None


@given(st.integers(0, 2 ** 32 - 1), st.sampled_from([(0, 4), (3, 0), (1, 1), (9, 3), (17, 16), (4, 25), (64, 16)]),
       st.sampled_from(BASELINES), st.sampled_from(SCALES))
def test_matrix_groups_agree(seed, shape, baseline, scale):
    """Equal groups give the same bits as ragged ones and, where the choices coincide, as compute_group_advantages."""
    rng = np.random.default_rng(seed)
    m = rng.normal(size=shape).round(rng.integers(0, 3))  # ties and zeros of both signs
    m[rng.random(shape) < 0.05] = -0.0
    for layout in (np.asfortranarray, lambda a: np.repeat(a, 2, axis=1)[:, ::2], lambda a: a[::-1, ::-1]):
        assert same_bits(q.compute_grpo_advantages(layout(m), baseline, scale),
                         q.compute_grpo_advantages(np.ascontiguousarray(layout(m)), baseline, scale))
    got = q.compute_grpo_advantages(m, baseline, scale)
    assert same_bits(got, q.compute_grpo_advantages_ragged(m.ravel(), np.full(shape[0], shape[1]), baseline, scale))
    if baseline != "leave_one_out" and scale != "batch":
        assert same_bits(got, q.compute_group_advantages(m, baseline, scale == "group"))
    assert same_bits(got, ref.compute_grpo_advantages(m, baseline, scale))
    narrow = m.astype(np.float32)  # float32 read as it is, the float64 result rounded once
    assert matches(q.compute_grpo_advantages(narrow, baseline, scale), ref.compute_grpo_advantages(narrow, baseline, scale))


@pytest.mark.parametrize("rewards, expected", [
    ([7.5], [0.0]), ([INF], [NAN]), ([-0.0], [0.0]), ([1.0, INF], [-INF, NAN]), ([2.0, 2.0, NAN], [NAN] * 3),
    ([0.1, 0.1, 0.1], [-1.3877787807814457e-17] * 3),  # total less own reward: rounding as the mean's
])
def test_leave_one_out_edges(rewards, expected):
    assert same_bits(q.compute_grpo_advantages_ragged(f64(rewards), np.array([len(rewards)]), "leave_one_out", "none"), expected)


# ---------------------------------------------------------------- masked statistics, returns, broadcasts, KL

def masked_data(seed, rows, columns, dtype, mask_dtype):
    rng = np.random.default_rng(seed)
    values = rng.standard_normal((rows, columns)).astype(dtype)
    mask = (rng.random((rows, columns)) < 0.8).astype(mask_dtype)
    if rows * columns:
        values.flat[rng.integers(0, rows * columns, 2)] = NAN  # ignored where masked out, NaN where kept
        mask.flat[0] = 1
        mask.flat[-1] = 1
    return values, mask


MASKED_CASES = [  # name, keywords; each against the slow model, bit for bit
    ("compute_masked_whitening", {}),
    ("compute_masked_whitening", dict(std_ddof=0, count_epsilon=0.0, shift_mean=False, unmasked="zero")),
    ("compute_masked_whitening", dict(unmasked="times_mask", float32_counts=True)),
    *[("compute_masked_returns", dict(gamma=0.97, mask_mode=mode)) for mode in ("cut", "skip", "carry", "zero")],
    ("broadcast_row_values", {}),
    *[("compute_kl_penalty", dict(estimator=estimator)) for estimator in ("k1", "abs", "mse")],
    ("compute_kl_penalty", dict(estimator="low_var_kl", rewards=True, beta=0.05)),
]


@pytest.mark.parametrize("name, keywords", MASKED_CASES)
@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("shape", [(3, 9), (2, 4100), (0, 5)])  # one block, blocks and a tail, empty
def test_masked_functions_match_the_model(name, keywords, dtype, shape):
    values, mask = masked_data(1, *shape, dtype, [bool, np.int64, np.float32][shape[1] % 3])
    if name == "compute_masked_whitening":
        values = np.where(np.isnan(values) & (mask != 0), 0.5, values).astype(dtype)  # keep the statistics finite
        args = (values, mask)
        if shape[0] == 0 and keywords.get("std_ddof", 1):
            with pytest.raises(ValueError, match="keeps 0 element"):
                q.compute_masked_whitening(values, mask, **keywords)
            return
    elif name == "broadcast_row_values":
        args = (values[:, 0] if shape[1] else np.zeros(shape[0], dtype), mask)
    elif name == "compute_kl_penalty":
        keywords = dict(keywords, rewards=values[::-1].copy() if keywords.get("rewards") else None)
        args = (values * 30, values[:, ::-1] * 30, keywords.pop("estimator"), mask)
    else:
        args = (values, mask)
    got = getattr(q, name)(*args, **keywords)
    want = getattr(ref, name)(*args, **keywords)
    assert got.dtype == want.dtype and got.shape == want.shape
    assert same_bits(got, want)


@pytest.mark.parametrize("call, expected", [
    # mean 4 over the five kept elements, squared differences 40, population variance 8
    (lambda: q.compute_masked_whitening(f64([[1.0, 2.0, 3.0], [5.0, 9.0, 7.0]]), np.array([[1, 1, 1], [1, 1, 0]]), std_ddof=0, count_epsilon=0.0, epsilon=0.0,
                                        unmasked="zero"),
     [[x * (1.0 / 8.0 ** 0.5) for x in (-3.0, -2.0, -1.0)], [1.0 * (1.0 / 8.0 ** 0.5), 5.0 * (1.0 / 8.0 ** 0.5), 0.0]]),
    (lambda: q.compute_masked_returns(f64([[1.0, 1.0, 1.0, 1.0]]), np.array([[1, 0, 1, 1]]), 0.5, mask_mode="skip"),
     [[1.75, 0.0, 1.5, 1.0]]),
    (lambda: q.compute_masked_returns(f64([[1.0, 1.0, 1.0, 1.0]]), np.array([[1, 0, 1, 1]]), 0.5, mask_mode="zero"),
     [[1.375, 0.75, 1.5, 1.0]]),
    (lambda: q.broadcast_row_values(f64([1.5, -2.0]), np.array([[1, 0], [0, 1]])), [[1.5, 0.0], [-0.0, -2.0]]),
    (lambda: q.compute_kl_penalty(f64([[0.0, 0.0, 0.0]]), f64([[0.0, 30.0, -1.0]]), "k3", rewards=f64([[1.0, 1.0, 1.0]]),
                                  beta=0.5), [[1.0, -4.0, 1.0 - 0.5 * math.exp(-1.0)]]),
])
def test_masked_worked_examples(call, expected):
    assert same_bits(call(), expected), call().tolist()
