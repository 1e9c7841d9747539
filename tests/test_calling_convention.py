"""Properties shared by all nine entry points: registration, argument matching, conversion."""
import copy
import inspect
import sys
import types

import numpy as np
import pytest

import quorvale_rl_core as q
from conftest import f64, is_result_vector, raises_panic, same


def _v(*xs):
    return f64(xs)


# name -> (text signature, conversion kind of each parameter, first docstring line, valid arguments)
REGISTRY = {
    "compute_group_advantages": ("(rewards, baseline_type, normalize)", ("mat", "str", "bool"),
                                 "Compute group-relative advantages for GRPO training",
                                 lambda: (np.arange(6.0).reshape(2, 3), "median", True)),
    "compute_gae": ("(rewards, values, gamma=0.99, gae_lambda=0.95)", ("vec", "vec", "float", "float"),
                    "Compute Generalized Advantage Estimation (GAE) for a trajectory",
                    lambda: (_v(1.0, 2.0, 3.0), _v(0.5, 0.5, 0.5, 0.5), 0.9, 0.8)),
    "batch_compute_gae": ("(all_rewards, all_values, gamma=0.99, gae_lambda=0.95)",
                          ("veclist", "veclist", "float", "float"),
                          "Batch compute GAE for multiple trajectories in parallel",
                          lambda: ([_v(1.0, 2.0), _v(3.0)], [_v(0.5, 0.5, 0.5), _v(1.0, 1.0)], 0.9, 0.8)),
    "normalize_rewards": ("(rewards, running_mean=0.0, running_var=1.0, count=0, epsilon=1e-8)",
                          ("vec", "float", "float", "int", "float"),
                          "Normalize rewards using running statistics",
                          lambda: (_v(1.0, 2.0, 4.0), 0.5, 2.0, 7, 1e-6)),
    "clip_rewards_py": ("(rewards, min_val, max_val)", ("vec", "float", "float"),
                        "Clip rewards to a specified range", lambda: (_v(-2.0, 0.5, 3.0), -1.0, 1.0)),
    "compute_gspo_importance_ratios": ("(log_probs_new, log_probs_old, sequence_lengths)", ("vec", "vec", "ivec"),
                                       "Compute GSPO sequence-level importance ratios",
                                       lambda: (_v(-10.0, -3.0, 1.0), _v(-12.0, -3.5, 1.0),
                                                np.array([4, 2, 0], dtype=np.int64))),
    "apply_gspo_clipping": ("(ratios, advantages, clip_left=0.0003, clip_right=0.0004)",
                            ("vec", "vec", "float", "float"), "Apply GSPO clipping to importance ratios",
                            lambda: (_v(1.001, 0.9, 0.5), _v(2.0, -1.0, 1.0), 0.001, 0.002)),
    "compute_ppo_surrogate": ("(ratios, advantages, clip_epsilon=0.2)", ("vec", "vec", "float"),
                              "Compute PPO clipped surrogate objective",
                              lambda: (_v(1.5, 0.5, 1.0), _v(2.0, -1.0, 3.0), 0.1)),
    "compute_reward_statistics": ("(rewards)", ("seq",), "Compute reward statistics for a batch of trajectories",
                                  lambda: ([2.0, -1.0, 7.0],)),
}
NAMES = list(REGISTRY)


def params(name):
    return [p.split("=")[0] for p in REGISTRY[name][0][1:-1].split(", ")]


def required(name):
    return sum("=" not in p for p in REGISTRY[name][0][1:-1].split(", "))


def kinds(name):
    return REGISTRY[name][1]


def valid(name):
    return list(REGISTRY[name][3]())


def call(name, *args, **kwargs):
    return getattr(q, name)(*args, **kwargs)


def quoted(names):
    names = [f"'{n}'" for n in names]
    if len(names) <= 2:
        return " and ".join(names)
    return ", ".join(names[:-1]) + ", and " + names[-1]


def arrays_in(obj):
    if isinstance(obj, np.ndarray):
        yield obj
    elif isinstance(obj, (list, tuple)):
        for item in obj:
            yield from arrays_in(item)
    elif isinstance(obj, dict):
        yield from arrays_in(list(obj.values()))


class Raiser:
    """Every conversion hook raises the given exception; indexing works, so it passes the sequence check."""

    def __init__(self, exc):
        self.exc = exc

    def _raise(self, *args):
        raise self.exc

    __float__ = __index__ = __bool__ = __len__ = __iter__ = _raise

    def __getitem__(self, i):
        return 1.0


class BadLen(list):
    def __len__(self):
        raise RuntimeError("no length")


class Sub(np.ndarray):
    pass


class Index:
    def __index__(self):
        return 3


class Float:
    def __float__(self):
        return 0.5


# ---------------------------------------------------------------- registration

def test_module_attributes():
    assert q.__all__ == NAMES + ["__version__"]
    assert q.__version__ == "0.1.1"
    assert q.__doc__ == "Python module definition"
    assert q.__name__ == "quorvale_rl_core"
    assert not hasattr(q, "PanicException")


@pytest.mark.parametrize("name", NAMES)
def test_function_object(name):
    f = getattr(q, name)
    sig, _, first_line, _ = REGISTRY[name]
    assert isinstance(f, types.BuiltinFunctionType)
    assert f.__name__ == name and f.__module__ == "quorvale_rl_core" and f.__self__ is q
    assert f.__text_signature__ == sig and str(inspect.signature(f)) == sig
    assert f.__doc__.splitlines()[0] == first_line and not f.__doc__.endswith("\n")


def test_full_docstrings():
    assert q.compute_group_advantages.__doc__ == "\n".join([
        "Compute group-relative advantages for GRPO training", "",
        "This is a high-performance implementation that uses SIMD where available",
        "and parallelizes across groups.", "", "Args:",
        "    rewards: 2D array of shape (num_groups, group_size) containing rewards",
        '    baseline_type: "mean", "median", or "min"',
        "    normalize: Whether to normalize advantages", "", "Returns:",
        "    2D array of advantages with same shape as input"])
    assert q.compute_gspo_importance_ratios.__doc__ == "\n".join([
        "Compute GSPO sequence-level importance ratios", "",
        "Implements the length-normalized sequence importance ratio from GSPO:",
        "s_i(θ) = (π_θ(y_i|x) / π_θ_old(y_i|x))^(1/|y_i|)", "", "Args:",
        "    log_probs_new: Log probabilities under new policy (sum per sequence)",
        "    log_probs_old: Log probabilities under old policy (sum per sequence)",
        "    sequence_lengths: Length of each sequence", "", "Returns:",
        "    Array of sequence-level importance ratios"])
    assert q.normalize_rewards.__doc__.splitlines()[-1] == "    Tuple of (normalized_rewards, new_mean, new_var, new_count)"
    assert q.batch_compute_gae.__doc__.count("\n") == 9 and q.compute_gae.__doc__.count("\n") == 11


# ---------------------------------------------------------------- argument matching

@pytest.mark.parametrize("call_, message", [
    (lambda: q.compute_gae(), "compute_gae() missing 2 required positional arguments: 'rewards' and 'values'"),
    (lambda: q.clip_rewards_py(), "clip_rewards_py() missing 3 required positional arguments: "
                                  "'rewards', 'min_val', and 'max_val'"),
    (lambda: q.compute_reward_statistics(), "compute_reward_statistics() missing 1 required positional argument: "
                                            "'rewards'"),
    (lambda: q.clip_rewards_py(min_val=0.0), "clip_rewards_py() missing 2 required positional arguments: "
                                             "'rewards' and 'max_val'"),
    (lambda: q.compute_gae(f64([1.0]), f64([0.0]), 0.9, 0.9, 1),
     "compute_gae() takes from 2 to 4 positional arguments but 5 were given"),
    (lambda: q.clip_rewards_py(f64([1.0]), 0, 1, 2), "clip_rewards_py() takes 3 positional arguments but 4 were given"),
    (lambda: q.compute_gae(f64([1.0]), f64([0.0]), lam=0.9), "compute_gae() got an unexpected keyword argument 'lam'"),
    (lambda: q.compute_gae(f64([1.0]), f64([0.0]), rewards=f64([1.0])),
     "compute_gae() got multiple values for argument 'rewards'"),
    (lambda: q.compute_gae(f64([1.0]), f64([0.0]), Gamma=1.0), "compute_gae() got an unexpected keyword argument 'Gamma'"),
    # matching comes before conversion, keywords are checked in the order written
    (lambda: q.compute_gae(None, None, None, None, None),
     "compute_gae() takes from 2 to 4 positional arguments but 5 were given"),
    (lambda: q.compute_gae(None, values=None, bogus=1, rewards=2),
     "compute_gae() got an unexpected keyword argument 'bogus'"),
    (lambda: q.compute_gae(None, rewards=2, bogus=1), "compute_gae() got multiple values for argument 'rewards'"),
    (lambda: q.compute_ppo_surrogate(None), "compute_ppo_surrogate() missing 1 required positional argument: "
                                            "'advantages'"),
])
def test_matching_messages(call_, message):
    with pytest.raises(TypeError) as info:
        call_()
    assert type(info.value) is TypeError and str(info.value) == message


@pytest.mark.parametrize("name", NAMES)
def test_matching_rules(name):
    ps, r, args = params(name), required(name), valid(name)
    p = len(ps)
    for extra in (1, 3):
        with pytest.raises(TypeError) as info:
            call(name, *args, *[0.0] * extra)
        takes = f"{p}" if r == p else f"from {r} to {p}"
        assert str(info.value) == f"{name}() takes {takes} positional arguments but {p + extra} were given"
    for given in range(r):
        with pytest.raises(TypeError) as info:
            call(name, *args[:given])
        missing = ps[given:r]
        noun = "argument" if len(missing) == 1 else "arguments"
        assert str(info.value) == f"{name}() missing {len(missing)} required positional {noun}: {quoted(missing)}"
    with pytest.raises(TypeError, match=r"^" + name + r"\(\) got an unexpected keyword argument 'nope'$"):
        call(name, *args, nope=1)
    with pytest.raises(TypeError) as info:
        call(name, *args, **{ps[-1]: args[-1]})
    assert str(info.value) == f"{name}() got multiple values for argument '{ps[-1]}'"
    # every parameter may be passed by keyword, in any order
    assert same(call(name, **dict(reversed(list(zip(ps, args))))), call(name, *args))


@pytest.mark.parametrize("name", [n for n in NAMES if required(n) < len(params(n))])
def test_defaults_only_for_absent_parameters(name):
    ps, r, args = params(name), required(name), valid(name)
    defaults = [float(p.split("=")[1]) if "." in p or "e" in p.split("=")[1] else int(p.split("=")[1])
                for p in REGISTRY[name][0][1:-1].split(", ")[r:]]
    assert same(call(name, *args[:r]), call(name, *args[:r], *defaults))
    with pytest.raises(TypeError, match="^argument '" + ps[r] + "': "):
        call(name, *args[:r], **{ps[r]: None})


# ---------------------------------------------------------------- conversion refusals

ARR = "'{}' object cannot be converted to 'PyArray<T, D>'"
SEQ = "'{}' object cannot be converted to 'Sequence'"
NOT_REAL = "must be real number, not {}"
NOT_INT = "'{}' object cannot be interpreted as an integer"
RAISER = Raiser(RuntimeError("unused"))
BAD = {
    "vec": [([1.0], ARR.format("list")), (np.ones(2, np.float32), ARR.format("ndarray")),
            (np.ones((1, 2)), ARR.format("ndarray")), (np.ones(2, np.int64), ARR.format("ndarray")),
            (np.ones(2, object), ARR.format("ndarray")), (np.float64(1.0), ARR.format("float64")),
            (None, ARR.format("NoneType")), (RAISER, ARR.format("Raiser"))],
    "ivec": [([1, 2], ARR.format("list")), (np.ones(2), ARR.format("ndarray")),
             (np.ones(2, np.int32), ARR.format("ndarray")), (np.ones((2, 1), np.int64), ARR.format("ndarray")),
             (np.ones(2, np.uint64), ARR.format("ndarray"))],
    "mat": [(np.ones(3), ARR.format("ndarray")), (np.ones((1, 1, 1)), ARR.format("ndarray")),
            (np.ones((2, 2), np.float32), ARR.format("ndarray")), (np.ones((2, 2), np.int64), ARR.format("ndarray")),
            ([[1.0, 2.0]], ARR.format("list")), (RAISER, ARR.format("Raiser"))],
    "veclist": [("ab", "Can't extract `str` to `Vec`"), (5, SEQ.format("int")), (None, SEQ.format("NoneType")),
                (lambda: (a for a in [np.ones(1)]), SEQ.format("generator")), ({1.0}, SEQ.format("set")),
                ({0: np.ones(1)}, SEQ.format("dict")), ([[1.0]], ARR.format("list")),
                (np.ones(2), ARR.format("float64")), ([np.ones(1), np.ones((1, 1))], ARR.format("ndarray")),
                ((np.ones(1), np.ones(1, np.float32)), ARR.format("ndarray"))],
    "seq": [("12", "Can't extract `str` to `Vec`"), (5, SEQ.format("int")), (None, SEQ.format("NoneType")),
            (lambda: (x for x in [1.0]), SEQ.format("generator")), ({1.0}, SEQ.format("set")),
            ({1.0: 2.0}, SEQ.format("dict")), ([1.0, "a"], NOT_REAL.format("str")),
            ((None,), NOT_REAL.format("NoneType"))],
    "float": [("x", NOT_REAL.format("str")), (None, NOT_REAL.format("NoneType")), ([1.0], NOT_REAL.format("list"))],
    "int": [(1.5, NOT_INT.format("float")), ("3", NOT_INT.format("str")), (None, NOT_INT.format("NoneType"))],
    "bool": [(1, "'int' object cannot be converted to 'PyBool'"), (0, "'int' object cannot be converted to 'PyBool'"),
             (None, "'NoneType' object cannot be converted to 'PyBool'"),
             (np.int64(1), "'int64' object cannot be converted to 'PyBool'"),
             (RAISER, "'Raiser' object cannot be converted to 'PyBool'")],
    "str": [(5, "'int' object cannot be converted to 'PyString'"), (b"mean", "'bytes' object cannot be converted "
                                                                          "to 'PyString'"),
            (None, "'NoneType' object cannot be converted to 'PyString'")],
}
CONVERSIONS = [(n, i, bad, msg) for n in NAMES for i, k in enumerate(kinds(n)) for bad, msg in BAD[k]]


def fresh(bad):
    return bad() if callable(bad) and not isinstance(bad, Raiser) else bad


@pytest.mark.parametrize("name,i,bad,msg", CONVERSIONS)
def test_conversion_refused(name, i, bad, msg):
    args = valid(name)
    args[i] = fresh(bad)
    with pytest.raises(TypeError) as info:
        call(name, *args)
    assert type(info.value) is TypeError and str(info.value) == f"argument '{params(name)[i]}': {msg}"
    assert info.value.__cause__ is None


@pytest.mark.parametrize("name", NAMES)
def test_parameters_converted_in_order(name):
    args = [fresh(BAD[k][0][0]) for k in kinds(name)]
    with pytest.raises(TypeError, match=f"^argument '{params(name)[0]}': "):
        call(name, *args)


HOOKED = [(n, i) for n in NAMES for i, k in enumerate(kinds(n)) if k in ("float", "int", "seq", "veclist")]


@pytest.mark.parametrize("name,i", HOOKED)
def test_raising_conversion_hooks(name, i):
    pname = params(name)[i]
    args = valid(name)
    args[i] = Raiser(ValueError("boom"))  # other exception types pass through unchanged
    with pytest.raises(ValueError, match="^boom$"):
        call(name, *args)
    root = KeyError("root")
    err = TypeError("boom")
    err.__cause__ = root
    args[i] = Raiser(err)  # a TypeError gets the prefix and keeps its cause
    with pytest.raises(TypeError) as info:
        call(name, *args)
    assert str(info.value) == f"argument '{pname}': boom" and info.value.__cause__ is root
    if kinds(name)[i] in ("seq", "veclist"):  # a failing length query is ignored
        args = valid(name)
        expected = call(name, *args)
        args[i] = BadLen(args[i])
        assert same(call(name, *args), expected)


@pytest.mark.parametrize("call_", [
    lambda: q.compute_gae(f64([1.0]), f64([0.0]), 10 ** 400),
    lambda: q.apply_gspo_clipping(f64([1.0]), f64([1.0]), clip_right=-(10 ** 400)),
    lambda: q.normalize_rewards(f64([1.0]), count=2 ** 63),
    lambda: q.normalize_rewards(f64([1.0]), count=-(2 ** 63) - 1),
    lambda: q.compute_reward_statistics([1.0, 10 ** 400]),
])
def test_overflow_is_not_prefixed(call_):
    with pytest.raises(OverflowError) as info:
        call_()
    assert not str(info.value).startswith("argument")


def test_unencodable_string_is_not_prefixed():
    with pytest.raises(UnicodeEncodeError):
        q.compute_group_advantages(np.ones((1, 2)), "\ud800", False)


@pytest.mark.parametrize("alias", [1, True, np.float32(1.0), np.int64(1), Index(), Float(), -1])
def test_float_arguments_accept_numbers(alias):
    r, v = f64([1.0, -2.0, 0.5]), f64([0.0, 1.0, 2.0, 3.0])
    assert same(q.compute_gae(r, v, alias, alias), q.compute_gae(r, v, float(alias), float(alias)))


@pytest.mark.parametrize("alias,value", [(True, 1), (np.int64(3), 3), (Index(), 3), (-3, -3), (np.uint8(2), 2)])
def test_integer_argument_accepts_integers(alias, value):
    r = f64([1.0, 2.0])
    assert same(q.normalize_rewards(r, 0.5, 2.0, alias), q.normalize_rewards(r, 0.5, 2.0, value))


def test_bool_and_str_arguments_accept_numpy_bools_and_str_subclasses():
    m = np.arange(6.0).reshape(2, 3)

    class Text(str):
        pass

    for flag in (True, False):
        assert same(q.compute_group_advantages(m, "mean", np.bool_(flag)), q.compute_group_advantages(m, "mean", flag))
    assert same(q.compute_group_advantages(m, Text("median"), True), q.compute_group_advantages(m, "median", True))


# ---------------------------------------------------------------- inputs and results

@pytest.mark.parametrize("name", NAMES)
def test_inputs_untouched_and_results_new(name):
    args = valid(name)
    before = copy.deepcopy(args)
    out = call(name, *args)
    assert same(args, before)
    inputs = list(arrays_in(args))
    for res in arrays_in(out):
        assert is_result_vector(res)
        assert not any(np.shares_memory(res, a) for a in inputs)
        res[...] = 12345.0
    assert same(args, before)
    assert same(call(name, *args), call(name, *before))


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


@pytest.mark.parametrize("call_, twin", [
    (lambda a: q.compute_gae(a, a), lambda a: q.compute_gae(a, a.copy())),
    (lambda a: q.batch_compute_gae([a, a], [a]), lambda a: q.batch_compute_gae([a.copy(), a.copy()], [a.copy()])),
    (lambda a: q.compute_gspo_importance_ratios(a, a, np.ones(4, np.int64)),
     lambda a: q.compute_gspo_importance_ratios(a, a.copy(), np.ones(4, np.int64))),
    (lambda a: q.apply_gspo_clipping(a, a), lambda a: q.apply_gspo_clipping(a, a.copy())),
    (lambda a: q.compute_ppo_surrogate(a, a), lambda a: q.compute_ppo_surrogate(a, a.copy())),
])
def test_same_array_twice(call_, twin):
    a = f64([0.5, -1.0, np.nan, 2.0])
    assert same(call_(a), twin(a))
    assert same(a, f64([0.5, -1.0, np.nan, 2.0]))


CONTIG = [(n, i) for n in NAMES for i, k in enumerate(kinds(n)) if k in ("vec", "ivec")]


@pytest.mark.parametrize("name,i", CONTIG)
def test_contiguity_checked_after_conversion(name, i):
    args = valid(name)
    for view in (np.repeat(args[i], 2)[::2], args[i][::-1]):
        bad = list(args)
        bad[i] = view
        with pytest.raises(TypeError) as info:
            call(name, *bad)
        assert type(info.value) is TypeError and str(info.value) == "The given array is not contiguous"
        later = [j for j in range(i + 1, len(args))]
        if later:  # a conversion failure of a later parameter wins
            j = later[-1]
            bad[j] = fresh(BAD[kinds(name)[j]][0][0])
            with pytest.raises(TypeError, match=f"^argument '{params(name)[j]}': "):
                call(name, *bad)
    ok = list(args)
    ok[i] = np.repeat(args[i][:1], 3)[::3]  # a one-element strided view is contiguous
    call(name, *ok)


REFCOUNT_CASES = [(n, "ok") for n in NAMES] + [(n, "convert") for n in NAMES] + \
    [(n, "contig") for n in NAMES if "vec" in kinds(n)] + \
    [("clip_rewards_py", "panic"), ("compute_ppo_surrogate", "panic"), ("compute_reward_statistics", "panic")]


@pytest.mark.parametrize("name,mode", REFCOUNT_CASES)
def test_input_refcounts_unchanged(name, mode, capfd):
    args = valid(name)
    last = len(args) - 1
    if mode == "convert":
        args[last] = fresh(BAD[kinds(name)[last]][0][0])
    elif mode == "contig":
        args[0] = np.repeat(args[0], 2)[::2]
    elif mode == "panic":
        args[last if name != "compute_reward_statistics" else 0] = {
            "clip_rewards_py": -2.0, "compute_ppo_surrogate": -0.5,
            "compute_reward_statistics": [1.0, float("nan")]}[name]
    objects = list(args) + [x for a in args if isinstance(a, list) for x in a]
    counts = [sys.getrefcount(o) for o in objects]
    for _ in range(1000):
        try:
            call(name, *args)
        except BaseException as e:  # noqa: B036 - includes the internal-failure exception
            assert mode != "ok", e
    assert [sys.getrefcount(o) for o in objects] == counts
    capfd.readouterr()


@pytest.mark.parametrize("name,mode", [("compute_reward_statistics", "panic"), ("clip_rewards_py", "panic")])
def test_panic_path_message(name, mode, capfd):
    with raises_panic():
        call(name, *([[1.0, float("nan")]] if name == "compute_reward_statistics" else [f64([1.0]), 1.0, 0.0]))
