"""Properties shared by all nine entry points: registration, argument matching, conversion."""
import copy
import inspect
import sys
import types
import weakref

import numpy as np
import pytest

import quorvale_rl_core as q
from conftest import f64, is_result_vector, same


def _v(*xs):
    return f64(xs)


# name: (text signature, conversion kind of each parameter, first docstring line, valid arguments)
REGISTRY = {
    "compute_group_advantages": ("(rewards, baseline_type, normalize)", "mat str bool",
                                 "Compute group-relative advantages for GRPO training",
                                 lambda: (np.arange(6.0).reshape(2, 3), "median", True)),
    "compute_gae": ("(rewards, values, gamma=0.99, gae_lambda=0.95)", "vec vec float float",
                    "Compute Generalized Advantage Estimation (GAE) for a trajectory",
                    lambda: (_v(1.0, 2.0, 3.0), _v(0.5, 0.5, 0.5, 0.5), 0.9, 0.8)),
    "batch_compute_gae": ("(all_rewards, all_values, gamma=0.99, gae_lambda=0.95)", "veclist veclist float float",
                          "Batch compute GAE for multiple trajectories in parallel",
                          lambda: ([_v(1.0, 2.0), _v(3.0)], [_v(0.5, 0.5, 0.5), _v(1.0, 1.0)], 0.9, 0.8)),
    "normalize_rewards": ("(rewards, running_mean=0.0, running_var=1.0, count=0, epsilon=1e-8)",
                          "vec float float int float", "Normalize rewards using running statistics",
                          lambda: (_v(1.0, 2.0, 4.0), 0.5, 2.0, 7, 1e-6)),
    "clip_rewards_py": ("(rewards, min_val, max_val)", "vec float float", "Clip rewards to a specified range",
                        lambda: (_v(-2.0, 0.5, 3.0), -1.0, 1.0)),
    "compute_gspo_importance_ratios": ("(log_probs_new, log_probs_old, sequence_lengths)", "vec vec ivec",
                                       "Compute GSPO sequence-level importance ratios",
                                       lambda: (_v(-10.0, -3.0, 1.0), _v(-12.0, -3.5, 1.0), np.arange(4, 1, -1))),
    "apply_gspo_clipping": ("(ratios, advantages, clip_left=0.0003, clip_right=0.0004)", "vec vec float float",
                            "Apply GSPO clipping to importance ratios",
                            lambda: (_v(1.001, 0.9, 0.5), _v(2.0, -1.0, 1.0), 0.001, 0.002)),
    "compute_ppo_surrogate": ("(ratios, advantages, clip_epsilon=0.2)", "vec vec float",
                              "Compute PPO clipped surrogate objective",
                              lambda: (_v(1.5, 0.5, 1.0), _v(2.0, -1.0, 3.0), 0.1)),
    "compute_reward_statistics": ("(rewards)", "seq", "Compute reward statistics for a batch of trajectories",
                                  lambda: ([2.0, -1.0, 7.0],)),
}
NAMES = list(REGISTRY)
PARAMS = {n: [p.split("=")[0] for p in sig[1:-1].split(", ")] for n, (sig, *_) in REGISTRY.items()}
REQUIRED = {n: sig.count(",") + 1 - sig.count("=") for n, (sig, *_) in REGISTRY.items()}
KINDS = {n: kinds.split() for n, (_, kinds, *_) in REGISTRY.items()}


def valid(name):
    return list(REGISTRY[name][3]())


def call(name, *args, **kwargs):
    return getattr(q, name)(*args, **kwargs)


def arrays_in(obj):
    if isinstance(obj, np.ndarray):
        yield obj
    elif isinstance(obj, (list, tuple, dict)):
        for item in (obj.values() if isinstance(obj, dict) else obj):
            yield from arrays_in(item)


class Raiser:
    """Every conversion hook raises; indexing works, so it passes the sequence check."""

    def __init__(self, exc):
        self.exc = exc

    def _raise(self, *args):
        raise self.exc

    __float__ = __index__ = __bool__ = __len__ = __iter__ = _raise
    __getitem__ = float


BadLen = type("BadLen", (list,), {"__len__": lambda self: 1 // 0})
Sub, Text = type("Sub", (np.ndarray,), {}), type("Text", (str,), {})
Index, Float = type("Index", (), {"__index__": lambda self: 3}), type("Float", (), {"__float__": lambda self: 0.5})


def test_module_attributes():
    assert q.__all__ == NAMES + ["__version__"] and q.__version__ == "0.1.1"
    assert q.__doc__ == "Python module definition" and q.__name__ == "quorvale_rl_core"
    assert not hasattr(q, "PanicException")


@pytest.mark.parametrize("name", NAMES)
def test_function_object(name):
    f, (sig, _, first_line, _) = getattr(q, name), REGISTRY[name]
    assert isinstance(f, types.BuiltinFunctionType)
    assert f.__name__ == name and f.__module__ == "quorvale_rl_core" and f.__self__ is q
    assert f.__text_signature__ == sig and list(inspect.signature(f).parameters) == PARAMS[name]
    assert f.__doc__.splitlines()[0] == first_line and not f.__doc__.endswith("\n")


def test_docstring_bodies():
    assert [getattr(q, n).__doc__.count("\n") for n in NAMES] == [11, 11, 9, 12, 0, 11, 9, 0, 0]
    assert q.compute_group_advantages.__doc__.splitlines()[7] == '    baseline_type: "mean", "median", or "min"'
    assert q.compute_gspo_importance_ratios.__doc__.splitlines()[3] == "s_i(θ) = (π_θ(y_i|x) / π_θ_old(y_i|x))^(1/|y_i|)"
    assert q.normalize_rewards.__doc__.endswith("\nReturns:\n    Tuple of (normalized_rewards, new_mean, new_var, new_count)")


# ---------------------------------------------------------------- argument matching

@pytest.mark.parametrize("call_, message", [
    (lambda: q.clip_rewards_py(min_val=0.0), "clip_rewards_py() missing 2 required positional arguments: "
                                             "'rewards' and 'max_val'"),
    (lambda: q.compute_gae(None, None, None, None, None),  # matching comes before conversion
     "compute_gae() takes from 2 to 4 positional arguments but 5 were given"),
    (lambda: q.compute_gae(None, values=None, bogus=1, rewards=2),  # keywords are matched in the order written
     "compute_gae() got an unexpected keyword argument 'bogus'"),
    (lambda: q.compute_gae(None, rewards=2, bogus=1), "compute_gae() got multiple values for argument 'rewards'"),
    (lambda: q.compute_gae(None, None, Gamma=1.0), "compute_gae() got an unexpected keyword argument 'Gamma'"),
])
def test_matching_messages(call_, message):
    with pytest.raises(TypeError) as info:
        call_()
    assert type(info.value) is TypeError and str(info.value) == message


@pytest.mark.parametrize("name", NAMES)
def test_matching_rules(name):
    ps, r, args = PARAMS[name], REQUIRED[name], valid(name)
    takes = f"{len(ps)}" if r == len(ps) else f"from {r} to {len(ps)}"
    for extra in (1, 3):
        with pytest.raises(TypeError, match=rf"^{name}\(\) takes {takes} positional arguments but "
                                            rf"{len(ps) + extra} were given$"):
            call(name, *args, *[0.0] * extra)
    for given in range(r):
        missing = [f"'{p}'" for p in ps[given:r]]
        names = " and ".join(missing) if len(missing) < 3 else ", ".join(missing[:-1]) + ", and " + missing[-1]
        with pytest.raises(TypeError) as info:
            call(name, *args[:given])
        assert str(info.value) == (f"{name}() missing {len(missing)} required positional "
                                   f"argument{'s' if len(missing) > 1 else ''}: {names}")
    with pytest.raises(TypeError, match=rf"^{name}\(\) got an unexpected keyword argument 'nope'$"):
        call(name, *args, nope=1)
    with pytest.raises(TypeError, match=rf"^{name}\(\) got multiple values for argument '{ps[-1]}'$"):
        call(name, *args, **{ps[-1]: args[-1]})
    assert same(call(name, **dict(reversed(list(zip(ps, args))))), call(name, *args))  # keywords in any order


@pytest.mark.parametrize("name", [n for n in NAMES if REQUIRED[n] < len(PARAMS[n])])
def test_defaults_only_for_absent_parameters(name):
    r, args = REQUIRED[name], valid(name)
    texts = REGISTRY[name][0][1:-1].replace("=", ", ").split(", ")[r + 1::2]
    defaults = [0 if t == "0" else float(t) for t in texts]
    assert same(call(name, *args[:r]), call(name, *args[:r], *defaults))
    with pytest.raises(TypeError, match=f"^argument '{PARAMS[name][r]}': "):  # None is converted, not a default
        call(name, *args[:r], **{PARAMS[name][r]: None})


# ---------------------------------------------------------------- conversion

ARR, SEQ, PYBOOL = ("'{}' object cannot be converted to 'PyArray<T, D>'", "'{}' object cannot be converted to 'Sequence'",
                    "'{}' object cannot be converted to 'PyBool'")
NOT_REAL, NOT_INT = "must be real number, not {}", "'{}' object cannot be interpreted as an integer"
RAISER, STR = Raiser(RuntimeError("unused")), "Can't extract `str` to `Vec`"
BAD = {
    "vec": [([1.0], ARR.format("list")), (np.ones(2, np.float32), ARR.format("ndarray")),
            (np.ones((1, 2)), ARR.format("ndarray")), (np.ones(2, np.int64), ARR.format("ndarray")),
            (np.ones(2, object), ARR.format("ndarray")), (np.float64(1.0), ARR.format("float64")),
            (None, ARR.format("NoneType")), (RAISER, ARR.format("Raiser")), (np.ones(2, ">f8"), ARR.format("ndarray"))],
    "ivec": [([1, 2], ARR.format("list")), (np.ones(2), ARR.format("ndarray")),
             (np.ones(2, np.int32), ARR.format("ndarray")), (np.ones((2, 1), np.int64), ARR.format("ndarray")),
             (np.ones(2, np.uint64), ARR.format("ndarray")), (np.ones(2, ">i8"), ARR.format("ndarray"))],
    "mat": [(np.ones(3), ARR.format("ndarray")), (np.ones((1, 1, 1)), ARR.format("ndarray")),
            (np.ones((2, 2), np.float32), ARR.format("ndarray")), (np.ones((2, 2), np.int64), ARR.format("ndarray")),
            ([[1.0, 2.0]], ARR.format("list")), (RAISER, ARR.format("Raiser"))],
    "veclist": [("ab", STR), (Text("x"), STR), (5, SEQ.format("int")), (None, SEQ.format("NoneType")),
                (lambda: (a for a in [np.ones(1)]), SEQ.format("generator")), ({1.0}, SEQ.format("set")),
                ({0: np.ones(1)}, SEQ.format("dict")), ([[1.0]], ARR.format("list")),
                (np.ones(2), ARR.format("float64")), ([np.ones(1), np.ones((1, 1))], ARR.format("ndarray")),
                ((np.ones(1), np.ones(1, np.float32)), ARR.format("ndarray"))],
    "seq": [("12", STR), (5, SEQ.format("int")), (None, SEQ.format("NoneType")),
            (lambda: (x for x in [1.0]), SEQ.format("generator")), ({1.0}, SEQ.format("set")),
            ({1.0: 2.0}, SEQ.format("dict")), ([1.0, "a"], NOT_REAL.format("str")),
            ((None,), NOT_REAL.format("NoneType"))],
    "float": [("x", NOT_REAL.format("str")), (None, NOT_REAL.format("NoneType")), ([1.0], NOT_REAL.format("list"))],
    "int": [(1.5, NOT_INT.format("float")), ("3", NOT_INT.format("str")), (None, NOT_INT.format("NoneType"))],
    "bool": [(1, PYBOOL.format("int")), (0, PYBOOL.format("int")), (None, PYBOOL.format("NoneType")),
             (np.int64(1), PYBOOL.format("int64")), (RAISER, PYBOOL.format("Raiser"))],
    "str": [(5, "'int' object cannot be converted to 'PyString'"),
            (b"mean", "'bytes' object cannot be converted to 'PyString'")],
}


def fresh(bad):
    return bad() if callable(bad) else bad


@pytest.mark.parametrize("name,i,bad,msg", [(n, i, bad, msg) for n in NAMES for i, k in enumerate(KINDS[n])
                                            for bad, msg in BAD[k]])
def test_conversion_refused(name, i, bad, msg):
    args = valid(name)
    args[i] = fresh(bad)
    with pytest.raises(TypeError) as info:
        call(name, *args)
    assert type(info.value) is TypeError and str(info.value) == f"argument '{PARAMS[name][i]}': {msg}"
    assert info.value.__cause__ is None


@pytest.mark.parametrize("name", NAMES)
def test_parameters_converted_in_order(name):
    with pytest.raises(TypeError, match=f"^argument '{PARAMS[name][0]}': "):
        call(name, *[fresh(BAD[k][0][0]) for k in KINDS[name]])


@pytest.mark.parametrize("name,i", [(n, i) for n in NAMES for i, k in enumerate(KINDS[n])
                                    if k in ("float", "int", "seq", "veclist")])
def test_raising_conversion_hooks(name, i):
    args = valid(name)
    args[i] = Raiser(ValueError("boom"))  # other exception types pass through unchanged
    with pytest.raises(ValueError, match="^boom$"):
        call(name, *args)
    err = TypeError("boom")
    err.__cause__ = root = KeyError("root")
    args[i] = Raiser(err)  # a TypeError gets the prefix and keeps its cause
    with pytest.raises(TypeError) as info:
        call(name, *args)
    assert str(info.value) == f"argument '{PARAMS[name][i]}': boom" and info.value.__cause__ is root
    if KINDS[name][i] in ("seq", "veclist"):  # a failing length query is ignored
        args = valid(name)
        expected = call(name, *args)
        args[i] = BadLen(args[i])
        assert same(call(name, *args), expected)


@pytest.mark.parametrize("call_, kind", [
    (lambda: q.compute_gae(f64([1.0]), f64([0.0]), 10 ** 400), OverflowError),
    (lambda: q.apply_gspo_clipping(f64([1.0]), f64([1.0]), clip_right=-(10 ** 400)), OverflowError),
    (lambda: q.normalize_rewards(f64([1.0]), count=2 ** 63), OverflowError),
    (lambda: q.normalize_rewards(f64([1.0]), count=-(2 ** 63) - 1), OverflowError),
    (lambda: q.compute_reward_statistics([1.0, 10 ** 400]), OverflowError),
    (lambda: q.compute_group_advantages(np.ones((1, 2)), "\ud800", False), UnicodeEncodeError),
])
def test_other_exception_types_not_prefixed(call_, kind):
    with pytest.raises(kind) as info:
        call_()
    assert type(info.value) is kind and not str(info.value).startswith("argument")


@pytest.mark.parametrize("name,i,alias,plain", [
    *[("compute_gae", 2, alias, float(alias)) for alias in (1, True, np.float32(1.0), np.int64(1), Index(), Float(), -1)],
    *[("normalize_rewards", 3, alias, int(alias)) for alias in (True, np.int64(3), Index(), -3, -1, np.uint8(2))],
    ("compute_group_advantages", 2, np.bool_(True), True), ("compute_group_advantages", 2, np.bool_(False), False),
    ("compute_group_advantages", 1, Text("median"), "median"),
    ("compute_gspo_importance_ratios", 2, np.arange(4, 1, -1, dtype=np.longlong), np.arange(4, 1, -1)),
])
def test_accepted_aliases(name, i, alias, plain):
    args = valid(name)
    args[i] = alias
    expected = valid(name)
    expected[i] = plain
    assert same(call(name, *args), call(name, *expected))


# ---------------------------------------------------------------- inputs and results

@pytest.mark.parametrize("name", NAMES)
def test_inputs_untouched_and_results_new(name):
    args = valid(name)
    before = copy.deepcopy(args)
    out = call(name, *args)
    for res in arrays_in(out):
        assert is_result_vector(res) and not any(np.shares_memory(res, a) for a in arrays_in(args))
        res[...] = 12345.0
    assert same(args, before) and same(call(name, *args), call(name, *before))
    refs, res = [weakref.ref(a) for a in arrays_in(out)], None
    del out
    assert all(r() is None for r in refs)  # results hold no extra references


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("variant", ["readonly", "subclass"])
def test_read_only_and_subclassed_arrays(name, variant):
    def tweak(a):
        if isinstance(a, list):
            return [tweak(x) for x in a]
        if not isinstance(a, np.ndarray):
            return a
        b = a.copy().view(Sub) if variant == "subclass" else a.copy()
        b.flags.writeable = variant != "readonly"
        return b

    args = valid(name)
    assert same(call(name, *map(tweak, args)), call(name, *args))


@pytest.mark.parametrize("name, build", [
    ("compute_gae", lambda a: (a, a)), ("batch_compute_gae", lambda a: ([a, a], [a])),
    ("compute_gspo_importance_ratios", lambda a: (a, a, np.ones(4, np.int64))),
    ("apply_gspo_clipping", lambda a: (a, a)), ("compute_ppo_surrogate", lambda a: (a, a)),
])
def test_same_array_twice(name, build):
    a = f64([0.5, -1.0, np.nan, 2.0])
    assert same(call(name, *build(a)), call(name, *copy.deepcopy(build(a))))
    assert same(a, f64([0.5, -1.0, np.nan, 2.0]))


@pytest.mark.parametrize("name,i", [(n, i) for n in NAMES for i, k in enumerate(KINDS[n]) if k in ("vec", "ivec")])
def test_contiguity_checked_after_conversion(name, i):
    args = valid(name)
    for view in (np.repeat(args[i], 2)[::2], args[i][::-1]):
        bad = list(args)
        bad[i] = view
        with pytest.raises(TypeError) as info:
            call(name, *bad)
        assert type(info.value) is TypeError and str(info.value) == "The given array is not contiguous"
        if i + 1 < len(args):  # a conversion failure of a later parameter wins
            bad[-1] = fresh(BAD[KINDS[name][-1]][0][0])
            with pytest.raises(TypeError, match=f"^argument '{PARAMS[name][-1]}': "):
                call(name, *bad)
    args[i] = np.repeat(args[i][:1], 3)[::3]  # a one-element strided view is contiguous
    call(name, *args)


PANIC_ARGS = {"clip_rewards_py": (-1, -2.0), "compute_ppo_surrogate": (-1, -0.5),
              "compute_reward_statistics": (0, [1.0, float("nan")])}


@pytest.mark.parametrize("name,mode", [(n, m) for n in NAMES for m in ("ok", "convert", "contig", "panic")
                                       if (m != "contig" or "vec" in KINDS[n]) and (m != "panic" or n in PANIC_ARGS)])
def test_input_refcounts_unchanged(name, mode, capfd):
    args = valid(name)
    if mode == "convert":
        args[-1] = fresh(BAD[KINDS[name][-1]][0][0])
    elif mode == "contig":
        args[0] = np.repeat(args[0], 2)[::2]
    elif mode == "panic":
        i, value = PANIC_ARGS[name]
        args[i] = value
    objects = [o for o in args + [x for a in args if isinstance(a, list) for x in a]
               if sys.getrefcount(o) < 10 ** 6]  # shared and static objects change under other code
    counts = [sys.getrefcount(o) for o in objects]
    for _ in range(1000):
        try:
            call(name, *args)
        except BaseException as e:  # the internal-failure exception included
            assert mode != "ok", e
    assert [sys.getrefcount(o) for o in objects] == counts
    capfd.readouterr()
