# The trainer-layer functions on the buffers trainers hold: float32 read in place, (time, envs) layouts,
# preallocated results, flags of any dtype, skip masks, bootstraps, episode starts, labelled groups and
# the standardisation keywords; against the slow models in reference.py, bit for bit, and against
# transcriptions of the loops trainers write (their layouts, in float64).
import math

import numpy as np
import pytest

import quorvale_rl_core as q
import reference as ref
from processes import run_ok

NAN = math.nan


def same(got, expected):
    got, expected = np.asarray(got), np.asarray(expected)
    return (got.dtype == expected.dtype and got.shape == expected.shape
            and np.ascontiguousarray(got).tobytes() == np.ascontiguousarray(expected).tobytes())


def flags(rng, shape, p):
    return rng.random(shape) < p


# ---------------------------------------------------------------- padded GAE against the model

def padded_case(seed, rows=5, steps=37, dtype=np.float64, **kinds):
    rng = np.random.default_rng(seed)
    real = lambda shape=(rows, steps): rng.standard_normal(shape).astype(dtype)  # noqa: E731
    args = dict(rewards=real(), values=real())
    if kinds.get("next_values"):
        args["next_values"] = real()
    for name in ("dones", "truncated", "mask", "episode_starts"):
        if kinds.get(name):
            args[name] = flags(rng, (rows, steps), 0.7 if name == "mask" else 0.15)
    if kinds.get("bootstrap"):
        args["bootstrap"] = real((rows,))
    if kinds.get("final_values"):
        args["final_values"] = real()
    if kinds.get("last_dones"):
        args["last_dones"] = flags(rng, (rows,), 0.5)
    return args


PADDED_KINDS = [
    dict(next_values=True),
    dict(next_values=True, dones=True, truncated=True, mask=True),
    dict(next_values=True, truncated=True, final_values=True, dones=True),
    dict(),
    dict(bootstrap=True, dones=True, mask=True),
    dict(bootstrap=True, truncated=True, final_values=True),
    dict(bootstrap=True, episode_starts=True, last_dones=True),
    dict(bootstrap=True, mask=True, mask_mode="skip"),
    dict(mask=True, dones=True, truncated=True, mask_mode="skip"),
    dict(bootstrap=True, mask=True, dones=True, mask_mode="carry"),
    dict(bootstrap=True, mask=True, truncated=True, mask_mode="zero"),
    dict(next_values=True, mask=True, dones=True, mask_mode="zero"),
]


@pytest.mark.parametrize("kinds", PADDED_KINDS, ids=lambda k: "-".join(sorted(k)) or "values-only")
@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("time_axis", [1, 0])
@pytest.mark.parametrize("steps", [1, 37, 1200])  # one step, within one chunk, across chunks
def test_padded_gae_matches_model(kinds, dtype, time_axis, steps):
    mode = kinds.get("mask_mode", "cut")
    args = padded_case(steps, rows=6, steps=steps, dtype=dtype, **kinds)
    if time_axis == 0:
        args = {k: (v.T if v.ndim == 2 else v) for k, v in args.items()}
    got = q.compute_padded_gae(**args, gamma=0.97, gae_lambda=0.9, time_axis=time_axis, mask_mode=mode)
    want = ref.padded_gae_buffers(**args, gamma=0.97, gae_lambda=0.9, time_axis=time_axis, mask_mode=mode)
    assert all(same(g, w) for g, w in zip(got, want))


def test_float32_is_the_float64_result_rounded_once():
    args = padded_case(1, rows=9, steps=300, dtype=np.float32, next_values=True, dones=True, mask=True)
    wide = {k: (v.astype(np.float64) if v.dtype == np.float32 else v) for k, v in args.items()}
    for got, full in zip(q.compute_padded_gae(**args), q.compute_padded_gae(**wide)):
        assert got.dtype == np.float32 and same(got, full.astype(np.float32))
    rng = np.random.default_rng(2)
    x = rng.standard_normal((70, 24)).astype(np.float32)
    for baseline in ("mean", "median", "min", "leave_one_out"):
        for scale in ("group", "batch", "none"):
            assert same(q.compute_grpo_advantages(x, baseline, scale),
                        q.compute_grpo_advantages(x.astype(np.float64), baseline, scale).astype(np.float32))
            flat, ids = x.ravel(), rng.integers(0, 50, x.size)
            assert same(q.compute_grpo_advantages_ragged(flat, None, baseline, scale, group_ids=ids),
                        q.compute_grpo_advantages_ragged(flat.astype(np.float64), None, baseline, scale,
                                                         group_ids=ids).astype(np.float32))
    # One float64 value array makes the whole result float64.
    mixed = dict(args, values=args["values"].astype(np.float64))
    assert all(r.dtype == np.float64 and same(r, w) for r, w in zip(q.compute_padded_gae(**mixed),
                                                                    q.compute_padded_gae(**wide)))


def test_results_agree_across_threads_and_instruction_sets():
    code = """
        import hashlib, numpy as np, quorvale_rl_core as q
        rng = np.random.default_rng(5)
        r = rng.standard_normal((37, 300)).astype(np.float32)
        m = rng.random((37, 300)) < 0.8
        parts = list(q.compute_padded_gae(r, r * 0.5, None, m, mask=m, mask_mode="skip"))
        parts += [q.compute_padded_gae(r, r * 0.5, mask=m, mask_mode=mode)[1] for mode in ("carry", "zero")]
        parts += list(q.compute_padded_gae(r.T, r.T, r.T, time_axis=0))
        for b in ("mean", "median", "min", "leave_one_out"):
            for s in ("group", "batch", "none"):
                parts.append(q.compute_grpo_advantages(r[:, :17], b, s, std_ddof=1, epsilon=1e-6))
                parts.append(q.compute_grpo_advantages_ragged(r.ravel(), None, b, s, group_ids=rng.integers(0, 90, r.size)))
        print(hashlib.sha256(b"".join(p.tobytes() for p in parts)).hexdigest())
    """
    seen = {run_ok(code, {"RAYON_NUM_THREADS": n, "QRL_CPU_FEATURES": cap})
            for n in ("1", "3") for cap in ("baseline", "avx2", None)}
    assert len(seen) == 1


# ---------------------------------------------------------------- layouts, outputs, flags

def test_time_axis_zero_reads_and_writes_time_major_buffers_in_place():
    args = padded_case(3, rows=8, steps=50, dtype=np.float32, next_values=True, dones=True)
    batch_major = q.compute_padded_gae(**args)
    time_major = {k: np.ascontiguousarray(v.T) for k, v in args.items()}
    got = q.compute_padded_gae(**time_major, time_axis=0)
    assert all(g.shape == (50, 8) and g.flags.c_contiguous and same(g.T, b) for g, b in zip(got, batch_major))
    assert all(same(a, b) for a, b in zip(q.compute_padded_gae(**time_major, time_axis=-2), got))
    with pytest.raises(ValueError, match=r"time_axis must be 0 or 1, not 2"):
        q.compute_padded_gae(**args, time_axis=2)


def test_out_receives_the_results_and_may_be_an_input():
    args = padded_case(4, rows=6, steps=40, next_values=True, dones=True, mask=True)
    want = q.compute_padded_gae(**args)
    adv, ret = np.empty((6, 40)), np.empty((6, 40))
    got = q.compute_padded_gae(**args, out=(adv, ret))
    assert got[0] is adv and got[1] is ret and same(adv, want[0]) and same(ret, want[1])
    # Over the inputs themselves: every input is read before it is overwritten.
    rewards, values = args["rewards"].copy(), args["values"].copy()
    q.compute_padded_gae(**dict(args, rewards=rewards, values=values), out=(rewards, values))
    assert same(rewards, want[0]) and same(values, want[1])
    # A float32 destination for float64 inputs, and strided destinations.
    small = np.empty((6, 40), np.float32), np.empty((40, 6), np.float32).T
    q.compute_padded_gae(**args, out=small)
    assert same(small[0], want[0].astype(np.float32)) and same(small[1], want[1].astype(np.float32))


@pytest.mark.parametrize("time_axis", [0, 1])
def test_out_with_every_scalar_keyword_given(time_axis):
    # The scalars sit beside the arrays in the argument list; only the arrays may be read as memory.
    args = padded_case(5, rows=6, steps=40, next_values=True, dones=True)
    if time_axis == 0:
        args = {k: np.ascontiguousarray(v.T) for k, v in args.items()}
    scalars = dict(gamma=0.9, gae_lambda=0.8, time_axis=time_axis, mask_mode="cut")
    want = q.compute_padded_gae(**args, **scalars)
    out = np.empty_like(args["rewards"]), np.empty_like(args["rewards"])
    got = q.compute_padded_gae(**args, **scalars, out=out)
    assert got[0] is out[0] and same(out[0], want[0]) and same(out[1], want[1])

    x = np.random.default_rng(1).standard_normal((30, 12))
    for baseline in ("mean", "median", "leave_one_out"):
        want = q.compute_grpo_advantages(x, baseline, "batch")
        inplace = x.copy()
        assert q.compute_grpo_advantages(inplace, baseline, "batch", out=inplace) is inplace and same(inplace, want)
        flat = x.ravel().copy()
        lengths = np.full(30, 12)
        q.compute_grpo_advantages_ragged(flat, lengths, baseline, "batch", out=flat)
        assert same(flat, want.ravel())
        wide = np.zeros((30, 24))[:, ::2]
        q.compute_grpo_advantages(x, baseline, "batch", out=wide)
        assert same(wide, want)


@pytest.mark.parametrize("dtype", [np.int8, np.uint8, np.int32, np.uint64, np.float16, np.float32, np.float64])
def test_flags_of_any_dtype_mean_nonzero(dtype):
    args = padded_case(6, rows=4, steps=30, next_values=True)
    rng = np.random.default_rng(6)
    raw = rng.integers(0, 3, (3, 4, 30)).astype(dtype)
    as_bool = {name: raw[k] != 0 for k, name in enumerate(("dones", "truncated", "mask"))}
    typed = {name: raw[k] for k, name in enumerate(("dones", "truncated", "mask"))}
    assert all(same(a, b) for a, b in zip(q.compute_padded_gae(**args, **typed), q.compute_padded_gae(**args, **as_bool)))


def test_float_flags_read_nan_as_set_and_negative_zero_as_unset():
    args = padded_case(7, rows=1, steps=4, next_values=True)
    got = q.compute_padded_gae(**args, dones=np.array([[NAN, -0.0, 0.0, 1.0]], np.float32))
    want = q.compute_padded_gae(**args, dones=np.array([[True, False, False, True]]))
    assert all(same(a, b) for a, b in zip(got, want))


def _frozen(shape):
    a = np.empty(shape)
    a.flags.writeable = False
    return a


PADDED = padded_case(4, rows=6, steps=40, next_values=True)
MASKED = padded_case(8, rows=2, steps=5, next_values=True, mask=True)
GROUPS = np.ones((3, 4))
SHARED = np.empty((2, 6, 40))


@pytest.mark.parametrize("call, error, message", [
    (lambda: q.compute_padded_gae(**PADDED, out=(np.empty((6, 40)),)), TypeError, r"out must be a tuple \(advantages, returns\)"),
    (lambda: q.compute_padded_gae(**PADDED, out=(np.empty((6, 41)), np.empty((6, 40)))), ValueError,
     r"'out\[0\]' has shape \(6, 41\) but the result has shape \(6, 40\)"),
    (lambda: q.compute_padded_gae(**PADDED, out=(np.empty((6, 40), np.float32), np.empty((6, 40)))), TypeError,
     r"the two out arrays must have one dtype"),
    (lambda: q.compute_padded_gae(**PADDED, out=(np.empty((6, 40), np.int64), np.empty((6, 40)))), TypeError, r"argument 'out\[0\]'"),
    (lambda: q.compute_padded_gae(**PADDED, out=(np.lib.stride_tricks.as_strided(np.empty(40), (6, 40), (0, 8)), np.empty((6, 40)))),
     ValueError, r"'out\[0\]' has elements that share memory"),
    (lambda: q.compute_padded_gae(**PADDED, out=(np.empty((6, 40)), _frozen((6, 40)))), ValueError,
     r"^compute_padded_gae\(\): 'out\[1\]' is read-only$"),
    (lambda: q.compute_padded_gae(**PADDED, out=(SHARED[0], SHARED[0])), ValueError, r"the two out arrays share memory"),
    (lambda: q.compute_padded_gae(**MASKED, mask_mode="skip"), ValueError, r'mask_mode="skip" takes the next value from \'values\''),
    (lambda: q.compute_padded_gae(**MASKED, mask_mode="Skip"), ValueError, r'mask_mode must be "cut", "skip", "carry" or "zero", not "Skip"'),
    (lambda: q.compute_padded_gae(**MASKED, bootstrap=np.zeros(2)), ValueError, r"'bootstrap' is the value after each row's last step"),
    (lambda: q.compute_padded_gae(MASKED["rewards"], MASKED["values"], last_dones=np.zeros(3, bool)), ValueError,
     r"'last_dones' has 3 entries but the batch has 2 rows"),
    (lambda: q.compute_padded_gae(*MASKED.values(), None, None, 0.9, 0.9, 1), TypeError,
     r"takes from 2 to 8 positional arguments but 9 were given"),
    (lambda: q.compute_grpo_advantages(GROUPS, out=np.empty((4, 3))), ValueError,
     r"^compute_grpo_advantages\(\): 'out' has shape \(4, 3\) but the result has shape \(3, 4\)$"),
    (lambda: q.compute_grpo_advantages(GROUPS, out=_frozen((3, 4))), ValueError, r"'out' is read-only"),
    (lambda: q.compute_grpo_advantages_ragged(GROUPS.ravel(), np.array([12]), out=[0.0] * 12), TypeError, r"argument 'out'"),
])
def test_bad_outputs_and_keywords_are_refused(call, error, message):
    with pytest.raises(error, match=message):
        call()


# ---------------------------------------------------------------- groups: labels and standardisation keywords

@pytest.mark.parametrize("baseline", ["mean", "median", "min", "leave_one_out"])
@pytest.mark.parametrize("scale", ["group", "batch", "none"])
@pytest.mark.parametrize("statistics", [{}, dict(std_ddof=1, epsilon=1e-6, std_floor=-1.0), dict(std_ddof=1, epsilon=1e-4)])
def test_labelled_groups_match_the_model(baseline, scale, statistics):
    rng = np.random.default_rng(20)
    for n, labels in ((0, 1), (1, 1), (40, 7), (300, 60)):
        rewards = rng.integers(-3, 4, n).astype(np.float64)  # ties, equal groups, zeros
        ids = rng.integers(-(10 ** 12), 10 ** 12, labels)[rng.integers(0, labels, n)] if n else np.zeros(0, np.int64)
        for labelled in (ids, np.array([np.iinfo(np.int64).min, np.iinfo(np.int64).max, -1, 0, 2047, 2048])[ids % 6]):
            got = q.compute_grpo_advantages_ragged(rewards, None, baseline, scale, group_ids=labelled, **statistics)
            assert same(got, ref.grpo_labelled(rewards, labelled, baseline, scale, **statistics))


def test_labels_in_any_order_equal_sorted_lengths():
    rng = np.random.default_rng(21)
    ids = rng.integers(0, 30, 500)
    rewards = rng.standard_normal(500)
    order = np.argsort(ids, kind="stable")
    by_lengths = np.empty(500)
    by_lengths[order] = q.compute_grpo_advantages_ragged(rewards[order], np.bincount(ids)[np.unique(ids)], "median", "group")
    assert same(q.compute_grpo_advantages_ragged(rewards, group_ids=ids, baseline_type="median"), by_lengths)
    with pytest.raises(ValueError, match=r"pass exactly one of group_lengths and group_ids"):
        q.compute_grpo_advantages_ragged(rewards)
    with pytest.raises(ValueError, match=r"pass exactly one of group_lengths and group_ids"):
        q.compute_grpo_advantages_ragged(rewards, np.array([500]), group_ids=ids)
    with pytest.raises(ValueError, match=r"group_ids has 3 entries but rewards holds 500 values"):
        q.compute_grpo_advantages_ragged(rewards, group_ids=np.zeros(3, np.int64))


@pytest.mark.parametrize("ddof", [0, 1])
def test_one_member_groups_are_never_standardised(ddof):
    got = q.compute_grpo_advantages(np.array([[3.5], [-1.0]]), "mean", "group", std_ddof=ddof)
    assert same(got, np.zeros((2, 1)))
    with pytest.raises(ValueError, match=r"std_ddof must be 0 or 1, not 2"):
        q.compute_grpo_advantages(np.ones((2, 2)), std_ddof=2)


def test_trl_and_verl_arithmetic_is_reachable():
    rng = np.random.default_rng(22)
    x = rng.standard_normal((16, 8))
    mean = x.mean(axis=1, keepdims=True)
    std = x.std(axis=1, ddof=1, keepdims=True)
    # TRL: (r - mean) / (std + 1e-4) with the unbiased std; verl: epsilon 1e-6.
    for epsilon in (1e-4, 1e-6):
        got = q.compute_grpo_advantages(x, "mean", "group", std_ddof=1, epsilon=epsilon)
        np.testing.assert_allclose(got, (x - mean) / (std + epsilon), rtol=1e-12, atol=1e-13)
    # The defaults keep the population std and the 1e-8 floor and addend.
    assert same(q.compute_grpo_advantages(x), q.compute_grpo_advantages(x, std_ddof=0, epsilon=1e-8, std_floor=1e-8))
    assert same(q.compute_grpo_advantages(x).ravel(), q.compute_group_advantages(x, "mean", True))
