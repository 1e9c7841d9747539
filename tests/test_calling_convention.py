# What the entry points share: registration (every function), argument matching, conversion and its messages (the nine).
import inspect
from importlib.metadata import version
import types

import numpy as np
import pytest

import quorvale_rl_core as q
from comparison import matches
from generators import Hooks
from registry import ALL, KINDS, NAMES, NOT_CONTIGUOUS, PARAMS, REGISTRY, REQUIRED, call, valid


def fails_with(message, name, *args, **kwargs):
    """The call raises exactly TypeError(message), or the exception type given instead of a message."""
    with pytest.raises(Exception) as info:
        call(name, *args, **kwargs)
    if isinstance(message, type):
        assert type(info.value) is message and not str(info.value).startswith("argument '"), repr(info.value)
    else:
        assert type(info.value) is TypeError and str(info.value) == message
    return info.value


def test_module_attributes():
    assert q.__all__ == ALL + ["__version__"] and q.__version__ == version("quorvale_rl_core")
    assert q.__doc__ == "Python module definition" and q.__name__ == "quorvale_rl_core" and not hasattr(q, "PanicException")


@pytest.mark.parametrize("name", ALL)
def test_function_object(name):
    f, entry = getattr(q, name), REGISTRY[name]
    assert len(entry.kinds.split()) == len(entry.params) == len(entry.valid())  # the entry is whole
    assert isinstance(f, types.BuiltinFunctionType) and f.__self__ is q
    assert f.__name__ == name and f.__module__ == "quorvale_rl_core" and f.__text_signature__ == entry.signature
    assert list(inspect.signature(f).parameters) == PARAMS[name]
    assert f.__doc__.splitlines()[0] == entry.first_line and not f.__doc__.endswith("\n")


def test_docstring_bodies():
    assert q.compute_group_advantages.__doc__.splitlines()[7] == '    baseline_type: "mean", "median", or "min"'
    assert q.compute_gspo_importance_ratios.__doc__.splitlines()[3] == "s_i(θ) = (π_θ(y_i|x) / π_θ_old(y_i|x))^(1/|y_i|)"
    assert q.normalize_rewards.__doc__.endswith("\nReturns:\n    Tuple of (normalized_rewards, new_mean, new_var, new_count)")


# ---------------------------------------------------------------- argument matching

def keyword_near_misses(parameter):
    """Keywords that are not the parameter's name but come close to it."""
    return [parameter[:-1], parameter[:1], parameter + "s", parameter + "_", parameter.upper(), parameter.capitalize(),
            f" {parameter}", f"{parameter} ", f"{parameter}\0", parameter.replace("_", "-"), "", "_"]


@pytest.mark.parametrize("name", NAMES)
def test_matching_rules(name):
    ps, r, args = PARAMS[name], REQUIRED[name], valid(name)
    takes = f"{len(ps)}" if r == len(ps) else f"from {r} to {len(ps)}"
    for extra in (1, 3):  # matching comes before conversion
        fails_with(f"{name}() takes {takes} positional arguments but {len(ps) + extra} were given", name, *[None] * (len(ps) + extra))
    for given in range(r):
        missing = [f"'{p}'" for p in ps[given:r]]
        names = " and ".join(missing) if len(missing) < 3 else ", ".join(missing[:-1]) + ", and " + missing[-1]
        fails_with(f"{name}() missing {len(missing)} required positional argument{'s' * (len(missing) > 1)}: {names}",
                   name, *args[:given])
    for i, parameter in enumerate(ps):  # the whole keyword byte for byte, for required and optional parameters
        for keyword in [k for k in keyword_near_misses(parameter) if k not in ps]:
            fails_with(f"{name}() got an unexpected keyword argument '{keyword}'", name, **dict(zip(ps[:i], args[:i])), **{keyword: args[i]})
        assert matches(call(name, *args[:i], **dict(zip(ps[i:], args[i:]))), call(name, *args))  # exact names match
    fails_with(f"{name}() got an unexpected keyword argument 'nope'", name, *args, nope=1)
    fails_with(f"{name}() got an unexpected keyword argument '\ud800'", name, *args, **{"\ud800": 1})
    fails_with(f"{name}() got multiple values for argument '{ps[-1]}'", name, *args, **{ps[-1]: args[-1]})
    fails_with(f"{name}() got an unexpected keyword argument 'Nope'", name, None, **{"Nope": 1, ps[0]: 2})  # in order
    assert matches(call(name, **dict(reversed(list(zip(ps, args))))), call(name, *args))  # keywords in any order


def test_missing_names_skip_given_ones():
    fails_with("clip_rewards_py() missing 2 required positional arguments: 'rewards' and 'max_val'", "clip_rewards_py", min_val=0.0)


def outcome(name, args, kwargs):
    try:
        return call(name, *args, **kwargs)
    except (TypeError, ValueError) as e:
        return repr(e)


@pytest.mark.parametrize("name", [n for n in ALL if REQUIRED[n] < len(PARAMS[n])])
def test_defaults_only_for_absent_parameters(name):
    """The defaults the text signature shows are those an absent parameter takes."""
    r, args, entry = REQUIRED[name], valid(name), REGISTRY[name]
    assert matches(outcome(name, args[:r], {}), outcome(name, *entry.arguments(args[:r] + entry.defaults)))
    if name in NAMES:
        fails_with(f"argument '{PARAMS[name][r]}': must be real number, not NoneType", name, *args[:r], **{PARAMS[name][r]: None})


# ---------------------------------------------------------------- conversion

def refused(target, *objects, name=None):
    return [(o, f"'{name or type(o).__qualname__}' object cannot be converted to '{target}'") for o in objects]


RAISER, STR, ARR = Hooks(RuntimeError("unused")), "Can't extract `str` to `Vec`", "PyArray<T, D>"
NOT_REAL, NOT_INT = "must be real number, not {}", "'{}' object cannot be interpreted as an integer"
BAD = {  # an object per row, and its message (after the prefix), or the exception type that comes unprefixed
    "vec": refused(ARR, [1.0], np.ones(2, np.float32), np.ones((1, 2)), np.ones(2, np.int64), np.ones(2, object),
                   np.float64(1.0), None, RAISER, np.ones(2, ">f8"), np.array(1.0)),
    "ivec": refused(ARR, [1, 2], np.ones(2), np.ones(2, np.int32), np.ones((2, 1), np.int64), np.ones(2, np.uint64),
                    np.ones(2, ">i8")),
    "mat": refused(ARR, np.ones(3), np.ones((1, 1, 1)), np.ones((2, 2), np.float32), np.ones((2, 2), np.int64),
                   [[1.0, 2.0]], RAISER),
    "veclist": [("ab", STR), (type("Text", (str,), {})("x"), STR),
                *refused("Sequence", 5, None, (a for a in [np.ones(1)]), {1.0}, {0: 1}), *refused(ARR, [[1.0]], name="list"),
                *refused(ARR, np.ones(2), name="float64"),
                *refused(ARR, [np.ones(1), np.ones((1, 1))], (np.ones(1), np.ones(1, np.float32)), name="ndarray")],
    "seq": [("12", STR), *refused("Sequence", 5, None, (x for x in [1.0]), {1.0}, {1.0: 2.0}),
            ([1.0, "a"], NOT_REAL.format("str")), ((None,), NOT_REAL.format("NoneType")), ([1.0, 10 ** 400], OverflowError)],
    "float": [("x", NOT_REAL.format("str")), ([1.0], NOT_REAL.format("list")), (10 ** 400, OverflowError),
              (-(10 ** 400), OverflowError)],
    "int": [(1.5, NOT_INT.format("float")), ("3", NOT_INT.format("str")), (2 ** 63, OverflowError),
            (-(2 ** 63) - 1, OverflowError)],
    "bool": refused("PyBool", 1, 0, None, np.int64(1), RAISER),
    "str": [*refused("PyString", 5, b"mean"), ("\ud800", UnicodeEncodeError)],
}


@pytest.mark.parametrize("name, i, bad, message", [(n, i, *row) for n in NAMES for i, k in enumerate(KINDS[n]) for row in BAD[k]])
def test_conversion_refused(name, i, bad, message):
    args = valid(name)
    args[i] = bad
    error = fails_with(message if isinstance(message, type) else f"argument '{PARAMS[name][i]}': {message}", name, *args)
    assert error.__cause__ is None


@pytest.mark.parametrize("name", NAMES)
def test_parameters_converted_in_order(name):
    with pytest.raises(TypeError, match=f"^argument '{PARAMS[name][0]}': "):
        call(name, *[BAD[k][0][0] for k in KINDS[name]])


@pytest.mark.parametrize("name, i", [(n, i) for n in NAMES for i, k in enumerate(KINDS[n]) if k in ("float", "int", "seq", "veclist")])
def test_raising_conversion_hooks(name, i):
    args = valid(name)
    args[i] = Hooks(ValueError("boom"))  # other exception types pass through unchanged
    with pytest.raises(ValueError, match="^boom$"):
        call(name, *args)
    args[i], root = Hooks(TypeError("boom")), KeyError("root")
    args[i].value.__cause__ = root  # a TypeError gets the prefix and keeps its cause
    assert fails_with(f"argument '{PARAMS[name][i]}': boom", name, *args).__cause__ is root
    if KINDS[name][i] in ("seq", "veclist"):  # a failing length query is ignored
        args[i] = type("BadLen", (list,), {"__len__": lambda self: 1 // 0})(valid(name)[i])
        assert matches(call(name, *args), call(name, *valid(name)))


@pytest.mark.parametrize("name, i", [(n, i) for n in NAMES for i, k in enumerate(KINDS[n]) if k in ("vec", "ivec")])
def test_contiguity_checked_after_conversion(name, i):
    args = valid(name)
    for view in (np.repeat(args[i], 2)[::2], args[i][::-1]):
        fails_with(NOT_CONTIGUOUS, name, *args[:i], view, *args[i + 1:])
        if i + 1 < len(args):  # a conversion failure of a later parameter comes first
            fails_with(f"argument '{PARAMS[name][-1]}': " + BAD[KINDS[name][-1]][0][1], name, *args[:i], view, *args[i + 1:-1],
                       BAD[KINDS[name][-1]][0][0])
    call(name, *args[:i], np.repeat(args[i][:1], 3)[::3], *args[i + 1:])  # a strided view of one element is contiguous


def numpy_bool_like(name="bool", **namespace):
    """An object the boolean conversion takes for a NumPy bool scalar."""
    return type(name, (), {"__module__": "numpy", **namespace})()


@pytest.mark.parametrize("make, expected", [
    (lambda: numpy_bool_like(__bool__=lambda self: True), True),
    (lambda: numpy_bool_like("bool_", __bool__=staticmethod(lambda: True)), True),  # bound through its descriptor
    (lambda: numpy_bool_like(__bool__=classmethod(lambda cls: cls.__name__ == "bool")), True),
    (lambda: numpy_bool_like(__bool__=lambda self: False), False),
    (lambda: type("bool", (type(numpy_bool_like(__bool__=lambda self: False)),), {"__module__": "numpy"})(), False),  # inherited
])
def test_numpy_bool_scalar_calls_its_types_bool(make, expected):
    m = np.arange(6.0).reshape(2, 3)
    obj = make()
    obj.__dict__["__bool__"] = lambda: not expected  # looked up on the type, never on the instance
    assert matches(call("compute_group_advantages", m, "mean", obj), call("compute_group_advantages", m, "mean", expected))


def test_numpy_bool_scalar_refusals():
    m = np.arange(6.0).reshape(2, 3)
    fails_with("argument 'normalize': object of type '<class 'numpy.bool'>' does not define a '__bool__' conversion",
               "compute_group_advantages", m, "mean", numpy_bool_like())
    fails_with("argument 'normalize': 'int' object cannot be converted to 'PyBool'",
               "compute_group_advantages", m, "mean", numpy_bool_like(__bool__=lambda self: 1))
