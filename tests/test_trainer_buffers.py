# The trainer-layer functions on the buffers trainers hold: float32 read in place and results rounded once,
# (time, envs) layouts, preallocated results, flags of any dtype, skip masks, bootstraps, episode starts, labelled
# groups and the standardisation keywords; against the slow models in reference.py, bit for bit; what they refuse.
import math

import numpy as np
import pytest

import quorvale_rl_core as q
import reference as ref

NAN, INF = math.nan, math.inf


def same(got, expected):
    """The same bits, every NaN counted as one: which NaN a sum of two NaNs gives is the compiler's choice, also in
    the interpreter that runs the model (CPython 3.10 and 3.11 differ), so NaN payloads are not compared with it.
    The module's own bits, NaNs included, are compared across paths and thread counts in test_instruction_sets."""
    got, expected = np.asarray(got), np.asarray(expected)

    def canonical(a):
        return np.ascontiguousarray(np.where(np.isnan(a), np.nan, a).astype(a.dtype) if a.dtype.kind == "f" else a)
    return (got.dtype == expected.dtype and got.shape == expected.shape
            and canonical(got).tobytes() == canonical(expected).tobytes())


# ---------------------------------------------------------------- padded GAE against the model

PADDED_ARGUMENTS = ["next_values", "dones", "truncated", "mask", "episode_starts", "bootstrap", "final_values", "last_dones"]


def padded_case(seed, rows=5, steps=37, dtype=np.float64, **kinds):
    rng, narrow = np.random.default_rng(seed), np.float32 if dtype == "mixed" else dtype
    real = lambda shape=(rows, steps), dtype=narrow: rng.standard_normal(shape).astype(dtype)  # noqa: E731
    args = dict(rewards=real(), values=real(dtype=np.float64 if dtype == "mixed" else narrow))  # mixed: float64 values
    for name in [n for n in PADDED_ARGUMENTS if kinds.get(n)]:
        shape = (rows,) if name in ("bootstrap", "last_dones") else (rows, steps)
        real_valued = name.endswith("values") or name == "bootstrap"
        args[name] = real(shape) if real_valued else rng.random(shape) < {"mask": 0.7, "last_dones": 0.5}.get(name, 0.15)
    if kinds.get("mask") == "right":  # right padding, the common layout
        args["mask"] = np.arange(steps)[None, :] < rng.integers(0, steps + 1, size=(rows, 1))
    return args


PADDED_KINDS = [
    dict(next_values=True),
    dict(next_values=True, dones=True, truncated=True, mask=True),
    dict(next_values=True, dones=True, truncated=True, mask="right"),
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
    dict(mask=True),  # a mask and nothing else: each mode's own pass
    dict(bootstrap=True, mask="right", mask_mode="carry"),
    dict(mask=True, mask_mode="zero"),
]
LAYOUTS = [np.copy, np.asfortranarray, lambda m: np.repeat(m, 2, axis=-1)[..., ::2], lambda m: m[::-1, ::-1]]
DISCOUNTS = [(0.97, 0.9), (1.0, 1.0), (0.5, 0.0), (-0.5, 2.0), (INF, 0.5)]


@pytest.mark.parametrize("kinds", PADDED_KINDS, ids=lambda k: "-".join(f"{n}={v}" for n, v in sorted(k.items())) or "values-only")
@pytest.mark.parametrize("dtype", [np.float64, np.float32, "mixed"])
@pytest.mark.parametrize("time_axis", [1, 0])
@pytest.mark.parametrize("steps", [0, 1, 37, 1200])  # no step, one step, within one chunk, across chunks
def test_padded_gae_matches_model(kinds, dtype, time_axis, steps):
    """Every layout, with NaN, infinities and huge values, in and out of padding; results fresh and C-contiguous."""
    mode, seed = kinds.get("mask_mode", "cut"), steps + 7 * PADDED_KINDS.index(kinds) + time_axis
    rows = (1, 6, 9, 19)[seed // 4 % 4]  # rows fill the vector lanes of every width, with tails
    args = padded_case(steps, rows=rows, steps=steps, dtype=dtype, **kinds)
    if seed % 3 == 0 and steps:
        with np.errstate(over="ignore"):  # huge values are infinite in float32
            args["values"][seed % rows, ::5] = [NAN, INF, -INF, 1e300][seed % 4]
            args["rewards"] *= [1.0, 1e300][seed % 2]
    layout = LAYOUTS[seed % 4]
    args = {k: (layout(v.T if time_axis == 0 else v) if v.ndim == 2 else v) for k, v in args.items()}
    gamma, lam = DISCOUNTS[seed % 5]
    got = q.compute_padded_gae(**args, gamma=gamma, gae_lambda=lam, time_axis=time_axis, mask_mode=mode)
    want = ref.compute_padded_gae(**args, gamma=gamma, gae_lambda=lam, time_axis=time_axis, mask_mode=mode)
    assert all(same(g, w) and g.flags.c_contiguous and g.flags.owndata for g, w in zip(got, want))
    aliased = q.compute_padded_gae(**args, gamma=gamma, gae_lambda=lam, time_axis=time_axis - 2, mask_mode=mode)
    assert all(same(a, g) for a, g in zip(aliased, got))  # -1 and -2 name the same axes


@pytest.mark.parametrize("mode", ["cut", "skip", "carry", "zero"])
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("steps", [1, 9, 255, 256, 257, 1200])
def test_mask_only_pass_equals_the_general_one(mode, dtype, steps):
    """With a mask and nothing else the rows take a pass of their own (plain additions; rows where a NaN appears are
    done again by the general pass); an all-clear `dones` sends the same rows through the general pass: the same
    bits, NaN payloads included, through runs of masked steps, chunk ends and NaN meeting NaN; returns alone too."""
    rng = np.random.default_rng(steps)
    rows = 11
    rewards, values = (rng.standard_normal((rows, steps)).astype(dtype) for _ in range(2))
    mask = rng.random((rows, steps)) < 0.8
    mask[1, steps // 3:] = False  # padding
    mask[2, :] = False
    mask[3, steps // 4:steps // 2] = False  # a long gap
    rewards[4, ::3], values[4, 1::4] = NAN, NAN  # NaN meeting NaN
    values[5, ::7], rewards[6, 2::5] = INF, -INF
    rewards[7] = np.frombuffer(np.full(steps, 0x7FF4000000000001 if dtype == np.float64 else 0x7FA00001,
                                       dtype=np.uint64 if dtype == np.float64 else np.uint32).tobytes(), dtype)  # signalling
    clear = np.zeros((rows, steps), np.int8)
    common = dict(mask=mask.astype(np.int64), mask_mode=mode, bootstrap=rng.standard_normal(rows), gamma=0.9, gae_lambda=0.8)
    fast = q.compute_padded_gae(rewards, values, **common)
    general = q.compute_padded_gae(rewards, values, dones=clear, **common)
    assert all(f.tobytes() == g.tobytes() for f, g in zip(fast, general))
    returns = q.compute_masked_returns(rewards, mask, 0.9, mask_mode=mode)
    general = q.compute_padded_gae(rewards, np.zeros_like(rewards), dones=clear, mask=mask, mask_mode=mode, gamma=0.9,
                                   gae_lambda=1.0)[0]
    assert returns.tobytes() == general.tobytes()


WHITENINGS = [{}, {"float32_counts": True}, {"std_ddof": 0, "unmasked": "times_mask", "shift_mean": False, "epsilon": 0.5}]


@pytest.mark.parametrize("mode", ["cut", "skip", "carry", "zero"])
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("layout", ["rows", "strided", "time_axis=0", "no mask", "dones"])
@pytest.mark.parametrize("whiten", WHITENINGS)
def test_whitened_gae_equals_gae_then_whitening(mode, dtype, layout, whiten):
    """whiten= gives compute_masked_whitening's bits on the advantages, whichever pass formed them and took their
    sums (across the 2048-step blocks of the sum, with row tails); the returns are those of the plain call."""
    rng = np.random.default_rng(len(layout))
    rewards, values = (rng.standard_normal((5, 4700)).astype(dtype) for _ in range(2))
    mask = (rng.random(rewards.shape) < 0.85).astype(np.int64)
    mask[1, 3000:] = 0
    values[2, ::9] = NAN
    args = dict(mask=mask, mask_mode=mode, gamma=0.97, gae_lambda=0.9)
    if layout == "strided":
        rewards, values, args["mask"] = (np.repeat(a, 2, axis=1)[:, ::2] for a in (rewards, values, mask))
    if layout == "time_axis=0":
        rewards, values, args["mask"], args["time_axis"] = rewards.T, values.T, mask.T, 0
    if layout == "no mask":
        args.pop("mask")
    if layout == "dones":
        args["dones"] = rng.random(rewards.shape) < 0.01
    plain = q.compute_padded_gae(rewards, values, **args)
    got = q.compute_padded_gae(rewards, values, **args, whiten=whiten)
    assert got[1].tobytes() == plain[1].tobytes()
    assert got[0].tobytes() == q.compute_masked_whitening(plain[0], args.get("mask"), **whiten).tobytes()


@pytest.mark.parametrize("which", range(6))
@pytest.mark.parametrize("layout", LAYOUTS[1:3], ids=["fortran", "strided"])
def test_padded_gae_one_array_in_another_layout(which, layout):
    """One argument laid out differently from the others is read as it is (the unit-stride path checks each)."""
    rng = np.random.default_rng(which)
    arrays = [rng.normal(size=(7, 7)) for _ in range(3)] + [rng.random((7, 7)) < p for p in (0.2, 0.2, 0.8)]
    expected = q.compute_padded_gae(*arrays, 0.9, 0.8)
    arrays[which] = layout(arrays[which])
    assert all(same(got, want) for got, want in zip(q.compute_padded_gae(*arrays, 0.9, 0.8), expected))


# ---------------------------------------------------------------- outputs and flags

def test_out_receives_time_major_results():
    """(time, envs) results into fresh, float32 and strided destinations, then the inputs themselves; every scalar
    keyword beside out= (only the arrays may be read as memory). Other layouts: tests/test_shared_properties.py."""
    args = {k: np.ascontiguousarray(v.T) for k, v in padded_case(4, rows=6, steps=40, next_values=True, dones=True, mask=True).items()}
    scalars = dict(gamma=0.9, gae_lambda=0.8, time_axis=0, mask_mode="cut")
    want = q.compute_padded_gae(**args, **scalars)
    shape, inputs = want[0].shape, dict(args, rewards=args["rewards"].copy(), values=args["values"].copy())
    for out in [(np.empty(shape), np.empty(shape)), (np.empty(shape, np.float32), np.empty(shape[::-1], np.float32).T),
                (inputs["rewards"], inputs["values"])]:
        got = q.compute_padded_gae(**inputs, **scalars, out=out)
        assert got[0] is out[0] and got[1] is out[1]
        assert all(same(o, w.astype(o.dtype)) for o, w in zip(out, want))


@pytest.mark.parametrize("dtype", [np.int8, np.uint8, np.int32, np.uint64, np.float16, np.float32, np.float64, "bool view"])
def test_flags_of_any_dtype_mean_nonzero(dtype):
    """Nonzero is set: NaN too, -0.0 not; a bool view of bytes other than 0 and 1 as well."""
    args = padded_case(6, rows=4, steps=30, next_values=True)
    raw = np.random.default_rng(6).integers(0, 3, (3, 4, 30))
    if dtype == "bool view":
        typed = (raw * 127).astype(np.uint8).view(bool)
    elif np.issubdtype(dtype, np.floating):
        typed = np.array([-0.0, 1.0, NAN])[raw].astype(dtype)
    else:
        typed = raw.astype(dtype)
    named = lambda a: dict(zip(("dones", "truncated", "mask"), a))  # noqa: E731
    assert all(same(a, b) for a, b in zip(q.compute_padded_gae(**args, **named(typed)), q.compute_padded_gae(**args, **named(raw != 0))))


def test_empty_and_absent_arguments():
    r = np.ones((2, 3))
    assert all(same(a, b) for a, b in zip(q.compute_padded_gae(r, r, r), q.compute_padded_gae(
        r, r, r, np.zeros((2, 3), bool), np.zeros((2, 3), bool), np.ones((2, 3), bool))))
    wide = np.zeros((0, 10 ** 10))  # no row: nothing sized by the row length is allocated
    assert q.compute_padded_gae(wide, wide, wide)[0].shape == (0, 10 ** 10)
    assert q.compute_grpo_advantages(np.zeros((10 ** 10, 0)), "median", "batch").shape == (10 ** 10, 0)


# ---------------------------------------------------------------- what they refuse

def _frozen(shape):
    a = np.empty(shape)
    a.flags.writeable = False
    return a


PADDED = padded_case(4, rows=6, steps=40, next_values=True)
MASKED = padded_case(8, rows=2, steps=5, next_values=True, mask=True)
R, GROUPS, SHARED, X3 = np.ones((2, 3)), np.ones((3, 4)), np.empty((2, 6, 40)), np.array([1.0, 2.0, 3.0])
NOT_ARRAY = r"(?m)^argument '{}': '\w+' object cannot be converted to 'PyArray<T, D>'$"


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
    (lambda: q.compute_padded_gae(**PADDED, whiten=[("std_ddof", 0)]), TypeError, r"^argument 'whiten': expected None or a dict"),
    (lambda: q.compute_padded_gae(**PADDED, whiten={"ddof": 0}), TypeError, r"unexpected keyword argument 'ddof'"),
    (lambda: q.compute_padded_gae(**PADDED, whiten={"std_ddof": 2}), ValueError, r"std_ddof must be 0 or 1, not 2"),
    (lambda: q.compute_padded_gae(**PADDED, whiten={"unmasked": "none"}), ValueError, r"unmasked"),
    (lambda: q.compute_padded_gae(PADDED["rewards"][:, :1], PADDED["values"][:, :1], mask=np.eye(6, 1), whiten={}), ValueError,
     r"the mask keeps 1 element\(s\), too few for a variance with std_ddof=1"),
    (lambda: q.compute_padded_gae(**MASKED, mask_mode="skip"), ValueError, r'mask_mode="skip" takes the next value from \'values\''),
    (lambda: q.compute_padded_gae(**MASKED, mask_mode="Skip"), ValueError, r'mask_mode must be "cut", "skip", "carry" or "zero", not "Skip"'),
    (lambda: q.compute_padded_gae(**MASKED, bootstrap=np.zeros(2)), ValueError, r"'bootstrap' is the value after each row's last step"),
    (lambda: q.compute_padded_gae(MASKED["rewards"], MASKED["values"], last_dones=np.zeros(3, bool)), ValueError,
     r"'last_dones' has 3 entries but the batch has 2 rows"),
    (lambda: q.compute_padded_gae(*MASKED.values(), None, None, 0.9, 0.9, 1), TypeError,
     r"^compute_padded_gae\(\) takes from 2 to 8 positional arguments but 9 were given$"),
    (lambda: q.compute_padded_gae(R, R, time_axis=2), ValueError, r"time_axis must be 0 or 1, not 2"),
    (lambda: q.compute_padded_gae(R, R, np.ones((2, 4))), ValueError,
     r"^compute_padded_gae\(\): 'next_values' has shape \(2, 4\) but 'rewards' has \(2, 3\)$"),
    (lambda: q.compute_padded_gae(R, R, R, mask=np.ones((3, 2), bool)), ValueError, r"'mask' has shape \(3, 2\)"),
    (lambda: q.compute_padded_gae(R), TypeError, r"^compute_padded_gae\(\) missing 1 required positional argument: 'values'$"),
    (lambda: q.compute_padded_gae(R, R, R, gamma=None), TypeError, r"^argument 'gamma': must be real number, not NoneType$"),
    *[(lambda bad=bad: q.compute_padded_gae(R, R, R, bad), TypeError, NOT_ARRAY.format("dones"))  # flags are real matrices
      for bad in (np.ones((2, 3), complex), np.ones((2, 3), object), np.ones(3, bool), [[True] * 3] * 2)],
    (lambda: q.compute_grpo_advantages(GROUPS, out=np.empty((4, 3))), ValueError,
     r"^compute_grpo_advantages\(\): 'out' has shape \(4, 3\) but the result has shape \(3, 4\)$"),
    (lambda: q.compute_grpo_advantages(GROUPS, out=_frozen((3, 4))), ValueError, r"'out' is read-only"),
    (lambda: q.compute_grpo_advantages(GROUPS, "Median"), ValueError,
     '^baseline_type must be "mean", "median", "min" or "leave_one_out", not "Median"$'),
    (lambda: q.compute_grpo_advantages(GROUPS, scale="True"), ValueError, '^scale must be "group", "batch" or "none", not "True"$'),
    (lambda: q.compute_grpo_advantages(GROUPS, "mean", True), TypeError, "(?m)^argument 'scale': 'bool' object cannot be converted to 'PyString'$"),
    (lambda: q.compute_grpo_advantages(GROUPS, std_ddof=2), ValueError, r"std_ddof must be 0 or 1, not 2"),
    (lambda: q.compute_grpo_advantages_ragged(X3, np.array([3], np.int32)), TypeError, NOT_ARRAY.format("group_lengths")),
    (lambda: q.compute_grpo_advantages_ragged(X3, np.array([1, 1])), ValueError, r"^group_lengths sum to 2 but rewards holds 3 values$"),
    (lambda: q.compute_grpo_advantages_ragged(X3, np.array([4, -1])), ValueError, r"^group_lengths\[1\] is negative: -1$"),
    (lambda: q.compute_grpo_advantages_ragged(X3, np.array([2 ** 62] * 3)), ValueError,
     r"^group_lengths sum to 9223372036854775807 but rewards holds 3 values$"),
    (lambda: q.compute_grpo_advantages_ragged(X3), ValueError, r"pass exactly one of group_lengths and group_ids"),
    (lambda: q.compute_grpo_advantages_ragged(X3, np.array([3]), group_ids=np.zeros(3, np.int64)), ValueError, r"pass exactly one of group_lengths and group_ids"),
    (lambda: q.compute_grpo_advantages_ragged(np.ones(500), group_ids=np.zeros(3, np.int64)), ValueError,
     r"group_ids has 3 entries but rewards holds 500 values"),
])
def test_bad_arguments_are_refused(call, error, message):
    with pytest.raises(error, match=message):
        call()


# ---------------------------------------------------------------- groups: labels and standardisation keywords

@pytest.mark.parametrize("baseline", ["mean", "median", "min", "leave_one_out"])
@pytest.mark.parametrize("scale", ["group", "batch", "none"])
@pytest.mark.parametrize("statistics", [{}, dict(std_ddof=1, epsilon=1e-6, std_floor=-1.0), dict(std_ddof=1, epsilon=1e-4)])
@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_labelled_groups_match_the_model(baseline, scale, statistics, dtype):
    """Labels in any order and of any int64 value (the same groups given by lengths: tests/test_trainer_kernels.py)."""
    rng = np.random.default_rng(20)
    for n, labels in ((0, 1), (1, 1), (40, 7), (300, 60)):
        rewards = (rng.integers(-3, 4, n) + rng.standard_normal(n) * (dtype == np.float32)).astype(dtype)  # ties, zeros
        ids = rng.integers(-(10 ** 12), 10 ** 12, labels)[rng.integers(0, labels, n)] if n else np.zeros(0, np.int64)
        for labelled in (ids, np.array([np.iinfo(np.int64).min, np.iinfo(np.int64).max, -1, 0, 2047, 2048])[ids % 6]):
            got = q.compute_grpo_advantages_ragged(rewards, None, baseline, scale, group_ids=labelled, **statistics)
            assert same(got, ref.compute_grpo_advantages_ragged(rewards, None, baseline, scale, group_ids=labelled, **statistics))

