# Hostile arguments to the trainer-layer functions: hooks that reshape, retype, resize, re-point or make read-only
# an array while a later argument converts; subclasses whose attributes lie; out arrays that overlap themselves or
# the inputs; empty matrices with huge row counts. Every outcome is the fresh call's result (the same arguments
# as they stand after the hooks, plain copies, no out) or a TypeError/ValueError; never a crash or wrong bits.
# The sanitizer runs take it at QRL_FUZZ_EXAMPLES.
import contextlib
import time

import numpy as np
from hypothesis import given, settings
from hypothesis import strategies as st
from numpy.lib.stride_tricks import as_strided

import pytest
import quorvale_rl_core as rl
from conftest import FUZZ_EXAMPLES

# The hooks change arrays in place on purpose, as NumPy 2.5 deprecates.
pytestmark = pytest.mark.filterwarnings("ignore:Setting the (shape|dtype) on a NumPy array:DeprecationWarning")
NAMES = ["compute_padded_gae", "compute_grpo_advantages", "compute_grpo_advantages_ragged", "compute_masked_whitening",
         "compute_masked_returns", "compute_kl_penalty"]


def facts(a):  # read through the base class: a lying subclass cannot hide a change
    a = a.view(np.ndarray)
    return a.shape, a.strides, a.dtype, a.__array_interface__["data"][0], a.flags.writeable


def mutate(a, mutation):  # True when the mutation took place (NumPy refuses some on some layouts)
    try:
        return MUTATIONS[mutation](a) is not False
    except (AttributeError, ValueError, TypeError):
        return False


MUTATIONS = {  # each returns False where it does not apply
    "values": lambda a: a.fill(3) if a.flags.writeable else False,
    "reshape": lambda a: setattr(a, "shape", (a.size,) if a.ndim == 2 else (1, a.size)),
    "retype": lambda a: setattr(a, "dtype", {1: np.int8, 2: np.int16, 4: np.int32, 8: np.int64}[a.itemsize]),
    "grow": lambda a: a.resize(a.size * 3 + 7, refcheck=False) if a.flags.owndata else False,
    "free": lambda a: a.resize(0, refcheck=False) if a.flags.owndata else False,
    "read_only": lambda a: setattr(a.flags, "writeable", False),
}


class Hook:
    """A number whose conversion mutates `target` first (`apply`: the mutation, True where it took place)."""

    def __init__(self, value, target, mutation, apply=mutate):
        self.value, self.target, self.mutation, self.apply, self.done = value, target, mutation, apply, False

    def _run(self):
        if self.target is not None:
            self.done = self.apply(self.target, self.mutation)
            self.target = None

    def __float__(self):
        self._run()
        return float(self.value)

    def __index__(self):
        self._run()
        return int(self.value)


def lying_view(a):  # every attribute a Python reader would use says something else
    cls = type("Lying", (np.ndarray,), {"shape": property(lambda s: (7,)), "ndim": property(lambda s: 1),
                                        "dtype": property(lambda s: np.dtype(np.int8)),
                                        "strides": property(lambda s: (1,))})
    return a.view(cls)


def arrays_of(draw, shape, dtype):
    a = np.asarray(draw(st.lists(st.floats(-4, 4, width=32), min_size=int(np.prod(shape)),
                                 max_size=int(np.prod(shape)))), dtype).reshape(shape)
    layout = draw(st.sampled_from(["c", "f", "strided", "lying"]))
    if layout == "f":
        return np.asfortranarray(a)
    if layout == "strided":
        wide = np.zeros((shape[0], 2 * shape[1]) if len(shape) == 2 else (2 * shape[0],), dtype)
        view = wide[:, ::2] if len(shape) == 2 else wide[::2]
        view[...] = a
        return view
    return lying_view(a) if layout == "lying" else a


@st.composite
def scenarios(draw):
    name = draw(st.sampled_from(NAMES))
    rows, cols = draw(st.integers(0, 4)), draw(st.integers(0, 5))

    def dtype():
        return draw(st.sampled_from([np.float32, np.float64]))

    if name == "compute_padded_gae":
        arrays = {"rewards": arrays_of(draw, (rows, cols), dtype()), "values": arrays_of(draw, (rows, cols), dtype())}
        for flag in draw(st.sets(st.sampled_from(["dones", "mask", "episode_starts"]))):
            arrays[flag] = (np.arange(rows * cols).reshape(rows, cols) % 3 == 0).astype(draw(st.sampled_from([bool, np.int64, np.float32])))
        if draw(st.booleans()):
            arrays["bootstrap"] = arrays_of(draw, (rows,), dtype())
        scalars = {"gamma": 0.9, "gae_lambda": 0.8, "time_axis": 1}
        out_shape, out_count = (rows, cols), 2
    elif name in ("compute_masked_whitening", "compute_masked_returns", "compute_kl_penalty"):
        arrays = {"values" if name == "compute_masked_whitening" else "rewards": arrays_of(draw, (rows, cols), dtype()),
                  "mask": (np.arange(rows * cols).reshape(rows, cols) % 4 != 1).astype(draw(st.sampled_from([bool, np.int64, np.float32])))}
        if name == "compute_kl_penalty":
            arrays["logprob"], arrays["ref_logprob"] = arrays_of(draw, (rows, cols), dtype()), arrays_of(draw, (rows, cols), dtype())
            scalars = {"beta": 0.05}
        else:
            scalars = {"gamma": 0.9} if name == "compute_masked_returns" else {"std_ddof": 0, "epsilon": 1e-6}
        out_shape, out_count = (rows, cols), 1
    else:
        ragged = name.endswith("ragged")
        arrays = {"rewards": arrays_of(draw, (rows * cols,) if ragged else (rows, cols), dtype())}
        if ragged:
            arrays["group_lengths"] = np.full(rows, cols, np.int64)
        scalars = {"std_ddof": draw(st.sampled_from([0, 1])), "epsilon": 1e-6}
        out_shape, out_count = arrays["rewards"].view(np.ndarray).shape, 1
    out_kind = draw(st.sampled_from(["none", "fresh", "over_rewards", "self_overlap", "read_only"]))
    out = None
    if out_kind == "fresh":
        out = [np.full(out_shape, np.nan, dtype()) for _ in range(out_count)]
    elif out_kind == "over_rewards":
        first = arrays.get("rewards", arrays.get("values"))
        if first.dtype == np.float64 and type(first) is np.ndarray:
            out = [first] + [np.zeros(out_shape) for _ in range(out_count - 1)]
    elif out_kind == "self_overlap" and out_shape and np.prod(out_shape) > 1:
        out = [as_strided(np.zeros(np.prod(out_shape)), out_shape, (8,) * len(out_shape))] * out_count
    elif out_kind == "read_only":
        out = [np.zeros(out_shape) for _ in range(out_count)]
        out[0].flags.writeable = False
    hooked = draw(st.sampled_from(sorted(scalars)))
    target = draw(st.sampled_from(sorted(arrays) + (["out"] if out else [])))
    return name, arrays, scalars, out, hooked, target, draw(st.sampled_from(sorted(MUTATIONS)))


def call(name, arrays, scalars, out):
    kwargs = {**arrays, **scalars}
    if out is not None:
        kwargs["out"] = tuple(out) if len(out) == 2 else out[0]
    return getattr(rl, name)(**kwargs)


def pairs(result, expected):  # results of one or more arrays, side by side
    return zip(*((r,) if not isinstance(r, tuple) else r for r in (result, expected)))


def plain(a):  # a copy of the base class: what the call reads, without the subclass
    return np.array(a.view(np.ndarray), copy=True)


@settings(max_examples=FUZZ_EXAMPLES)
@given(scenarios())
def test_hostile_arguments_give_the_fresh_result_or_a_documented_error(scenario):
    name, arrays, scalars, out, hooked, target, mutation = scenario
    victim = out[0] if target == "out" else arrays[target]
    before = facts(victim)
    hook = Hook(scalars[hooked], victim, mutation)
    snapshot = {k: plain(v) for k, v in arrays.items()}
    try:
        result = call(name, arrays, dict(scalars, **{hooked: hook}), out)
    except (TypeError, ValueError):
        result = None
    outs = None if out is None else [np.empty(o.view(np.ndarray).shape, o.dtype) for o in out]
    # The fresh call: the arguments as the hook left them, plain copies, a fresh out of the same dtype.
    for key in [k for k, v in arrays.items() if v is victim and hook.done]:
        mutate(snapshot[key], mutation)
    try:
        expected = call(name, snapshot, scalars, outs)
    except (TypeError, ValueError):
        expected = None
    if result is None:  # refused: an array changed, the out was unfit, or the fresh call refuses too
        assert facts(victim) != before or out is not None or expected is None
        return
    assert expected is not None, "accepted what the fresh call refuses"
    for g, w in pairs(result, expected):
        np.testing.assert_array_equal(np.asarray(g).view(np.ndarray), np.asarray(w).view(np.ndarray))


class ShapeLie(np.ndarray):
    shape = property(lambda s: (200000,))


def converting(action, value=0.9):  # a number whose conversion runs `action` first
    return type("Hooked", (), {"__float__": lambda self: (action(), value)[1]})()


class Arming(np.ndarray):  # retypes `victim` whenever NumPy makes a new array of this class (astype, copies)
    victim = None

    def __array_finalize__(self, obj):
        if Arming.victim is not None:
            Arming.victim.dtype = np.float32


def values_retyping_rewards():
    rewards, values = np.ones((8, 8)), np.full((8, 8), 0.5, np.float32).view(Arming)
    Arming.victim = rewards
    try:
        return rl.compute_padded_gae(rewards, values)[0]
    finally:
        Arming.victim = None


def reproducers():
    r, v, d, ld = np.ones((8, 8)), np.ones((2, 4)), np.zeros((8, 8), bool), np.zeros(8, bool)
    empty_f32 = as_strided(np.zeros(1, np.float32), (2 ** 40, 0), (0, 0))
    return {
        "lying out shape": (lambda: rl.compute_grpo_advantages_ragged(
            np.ones(200000), np.array([200000]), "mean", "none", out=np.zeros(1).view(ShapeLie)), ValueError),
        "rewards reshaped": (lambda: rl.compute_padded_gae(
            r, np.ones((8, 8)), gamma=converting(lambda: setattr(r, "shape", (64,)))), ValueError),
        "dones made 1-D": (lambda: rl.compute_padded_gae(
            np.ones((8, 8)), np.ones((8, 8)), dones=d, gamma=converting(lambda: setattr(d, "shape", (64,)))), ValueError),
        "mixed precisions, a hook in the float32 subclass": (values_retyping_rewards, "fresh"),
        "last_dones resized": (lambda: rl.compute_padded_gae(np.ones((8, 8)), np.ones((8, 8)), last_dones=ld,
                                                             gamma=converting(lambda: ld.resize((8, 0), refcheck=False))), TypeError),
        "values retyped to int64": (lambda: rl.compute_padded_gae(
            np.ones((2, 4)), v, None, None, None, None, converting(lambda: setattr(v, "dtype", np.int64)), 0.8), ValueError),
        "2**40 empty float32 rows": (lambda: rl.compute_grpo_advantages(empty_f32), "empty"),
        "2**40 empty rows into out": (lambda: rl.compute_grpo_advantages(empty_f32, out=empty_f32.copy()), "empty"),
        "2**40 empty GAE rows": (lambda: rl.compute_padded_gae(empty_f32, empty_f32)[0], "empty"),
        "empty out, zero strides": (lambda: rl.compute_grpo_advantages(
            np.ones((5, 0)), out=as_strided(np.empty(0), (5, 0), (0, 0))), "empty"),
        "empty GAE out, zero strides": (lambda: rl.compute_padded_gae(
            np.ones((5, 0)), np.ones((5, 0)), out=(as_strided(np.empty(0), (5, 0), (0, 0)), np.empty((5, 0))))[0], "empty"),
        "time_axis=True": (lambda: rl.compute_padded_gae(np.ones((2, 3)), np.ones((2, 3)), time_axis=True), ValueError),
    }


@pytest.mark.parametrize("case", sorted(reproducers()))
def test_reproducer(case):
    make, outcome = reproducers()[case]
    if outcome in (ValueError, TypeError):
        with pytest.raises(outcome):
            make()
        return
    start = time.perf_counter()
    result = make()
    assert time.perf_counter() - start < 5  # a walk over 2**40 rows would take hours
    if outcome == "empty":
        assert result.size == 0
    if outcome == "fresh":
        np.testing.assert_array_equal(result, rl.compute_padded_gae(np.ones((8, 8)), np.full((8, 8), 0.5, np.float32))[0])


@pytest.mark.parametrize("shape, strides, overlaps", [
    ((6, 40), (8, 8), True), ((3, 2), (0, 8), True), ((2, 3), (8, 4), True), ((4, 1), (4, 0), True),
    ((2, 3), (24, 16), False), ((3, 2), (8, 24), False), ((2, 3), (-8, 16), False), ((4, 1), (8, 0), False),
    ((5, 0), (0, 0), False), ((1, 1), (0, 0), False), ((3, 4), (32, 8), False), ((3, 4), (24, 8), True),
])
def test_out_layouts(shape, strides, overlaps):
    base = np.zeros(200)
    out = as_strided(base[100:], shape, strides)
    rewards = np.arange(np.prod(shape), dtype=np.float64).reshape(shape) ** 2
    if overlaps:
        with pytest.raises(ValueError, match="share memory"):
            rl.compute_grpo_advantages(rewards, out=out)
    else:
        np.testing.assert_array_equal(rl.compute_grpo_advantages(rewards, out=out), rl.compute_grpo_advantages(rewards))


# The torch adapter: the same refusals where the module refuses, no silent casts (None: accepted).
ADAPTER_CALLS = {
    "int64 out": (lambda torch, qt, adv: qt.compute_grpo_advantages(adv, out=torch.zeros(1, 4, dtype=torch.int64)), TypeError),
    "bool out": (lambda torch, qt, adv: qt.compute_grpo_advantages(adv, out=torch.zeros(1, 4, dtype=torch.bool)), TypeError),
    "int GAE out": (lambda torch, qt, adv: qt.compute_padded_gae(adv, adv, out=(torch.zeros(1, 4, dtype=torch.int32),) * 2), TypeError),
    "float sequence_lengths": (lambda torch, qt, adv: qt.compute_gspo_importance_ratios(
        torch.ones(2), torch.zeros(2), torch.tensor([1.5, 2.7])), TypeError),
    "float group_lengths": (lambda torch, qt, adv: qt.compute_grpo_advantages_ragged(adv[0], torch.tensor([2.0, 2.0])), TypeError),
    "float group_ids": (lambda torch, qt, adv: qt.compute_grpo_advantages_ragged(adv[0], group_ids=torch.zeros(4)), TypeError),
    "integer group_lengths": (lambda torch, qt, adv: qt.compute_grpo_advantages_ragged(adv[0], torch.tensor([2, 2]).int()), None),
    "float16 out": (lambda torch, qt, adv: qt.compute_grpo_advantages(adv, out=torch.zeros(1, 4, dtype=torch.float16)), None),
}


@pytest.mark.parametrize("case", ADAPTER_CALLS)
def test_adapter_refusals(case):
    torch = pytest.importorskip("torch")
    import quorvale_rl_core_torch as qt
    make, error = ADAPTER_CALLS[case]
    with pytest.raises(error, match="cannot be converted") if error else contextlib.nullcontext():
        make(torch, qt, torch.tensor([[1.0, 2.0, 3.0, 4.0]]))


def dropin_calls(torch, values, mask):
    from types import SimpleNamespace

    from quorvale_rl_core_torch import openrlhf, verl
    index = np.array([0, 0, 1, 1])
    config = SimpleNamespace(gamma=0.9)
    return [
        lambda: verl.compute_grpo_outcome_advantage(values, mask, index)[0],
        lambda: verl.compute_grpo_vectorized_outcome_advantage(values, mask, index)[0],
        lambda: verl.compute_rloo_outcome_advantage(values, mask, index)[0],
        lambda: verl.compute_reinforce_plus_plus_outcome_advantage(values, mask, config=config)[0],
        lambda: verl.compute_reinforce_plus_plus_baseline_outcome_advantage(values, mask, index)[0],
        lambda: verl.compute_gae_advantage_return(values, values, mask, 0.9, 0.8)[0],
        lambda: openrlhf.get_advantages_and_returns(values, values, mask, 0.9, 0.8)[0],
        lambda: openrlhf.get_cumulative_returns(values, mask, 0.9),
    ]


@pytest.mark.parametrize("value_dtype", ["bfloat16", "float16"])
@pytest.mark.parametrize("mask_dtype", ["bool", "int64", "float32", "bfloat16", "uint8"])
def test_dropins_take_half_values_and_any_mask(value_dtype, mask_dtype):
    torch = pytest.importorskip("torch")
    values = torch.linspace(-1, 1, 24).reshape(4, 6)
    mask = torch.tensor([[1, 1, 1, 0, 0, 0]] * 4)
    half = dropin_calls(torch, values.to(getattr(torch, value_dtype)), mask.to(getattr(torch, mask_dtype)))
    full = dropin_calls(torch, values.double(), mask.double())
    for low, high in zip(half, full):
        got, want = low(), high()
        assert torch.isfinite(got.double()).all()
        # bfloat16 keeps 8 bits of the inputs' mantissas: agreement to that precision
        torch.testing.assert_close(got.double(), want, atol=0.1, rtol=0.05)


TENSOR_MUTATIONS = {  # each returns False where it does not apply
    "values": lambda t: t.fill_(3),
    "transpose": lambda t: t.t_() if t.dim() == 2 else False,
    "as_strided": lambda t: t.as_strided_((t.shape[-1],), (1,)) if t.is_contiguous() and t.numel() else False,
    "new_storage": lambda t: t.set_(t.new_full(t.shape[::-1], 2.0).transpose(0, -1)),
    "resize": lambda t: t.resize_(t.numel() + 5),
}


def mutate_tensor(t, mutation):
    try:
        return TENSOR_MUTATIONS[mutation](t) is not False
    except RuntimeError:  # torch refuses some on some layouts
        return False


@st.composite
def tensor_scenarios(draw):
    import torch
    name = draw(st.sampled_from(NAMES + ["compute_gae"]))
    rows, cols = draw(st.integers(1, 3)), draw(st.integers(1, 5))

    def tensor(shape):
        dtype = draw(st.sampled_from([torch.float32, torch.float64, torch.bfloat16]))
        base = torch.linspace(-2, 2, int(np.prod(shape)), dtype=torch.float64)
        layout = draw(st.sampled_from(["contiguous", "transposed", "sliced"]))
        if layout == "transposed" and len(shape) == 2:
            return base.reshape(shape[::-1]).t().to(dtype)
        if layout == "sliced":
            return torch.stack([base, base]).t().reshape(*shape, 2)[..., 0].to(dtype)
        return base.reshape(shape).to(dtype)

    if name == "compute_padded_gae":
        tensors, scalars = {"rewards": tensor((rows, cols)), "values": tensor((rows, cols))}, {"gamma": 0.9, "gae_lambda": 0.8}
    elif name == "compute_gae":
        tensors, scalars = {"rewards": tensor((cols,)), "values": tensor((cols + 1,))}, {"gamma": 0.9, "gae_lambda": 0.8}
    else:
        scalars = {"epsilon": 1e-6, "std_floor": 1e-8}
        tensors = {"rewards": tensor((rows, cols))} if name == "compute_grpo_advantages" else {
            "rewards": tensor((rows * cols,)), "group_lengths": torch.full((rows,), cols)}
    floating = sorted(k for k, t in tensors.items() if t.is_floating_point())
    return (name, tensors, scalars, draw(st.sampled_from(sorted(scalars))), draw(st.sampled_from(floating)),
            draw(st.sampled_from(sorted(TENSOR_MUTATIONS))))


@settings(max_examples=max(FUZZ_EXAMPLES // 4, 20))
@given(st.data())
def test_adapter_hooks_act_before_the_tensors_are_read(data):
    torch = pytest.importorskip("torch")
    import quorvale_rl_core_torch as qt
    name, tensors, scalars, hooked, target, mutation = data.draw(tensor_scenarios())
    hook = Hook(scalars[hooked], tensors[target], mutation, mutate_tensor)
    function = getattr(qt, name)
    try:
        result = function(**tensors, **dict(scalars, **{hooked: hook}))
    except (TypeError, ValueError) as error:
        with pytest.raises(type(error)):  # the fresh call on the tensors as the hook left them refuses too
            function(**tensors, **scalars)
        return
    expected = function(**tensors, **scalars)  # the tensors as the hook left them
    for g, w in pairs(result, expected):
        assert g.dtype == w.dtype
        torch.testing.assert_close(g, w, rtol=0, atol=0, equal_nan=True)
