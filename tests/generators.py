# Generated arguments: special values, long vectors, the layouts callers pass, and objects with conversion hooks.
import math

import numpy as np
from hypothesis import strategies as st

from registry import KINDS, PARAMS, REQUIRED


class Hooks:
    """Passes the sequence check; every conversion hook raises `value`, or returns it (often of the wrong type)."""

    def __init__(self, value):
        self.value = value

    def _hook(self, *args):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value() if callable(self.value) else self.value

    __float__ = __index__ = __int__ = __bool__ = __len__ = __iter__ = __getitem__ = _hook


SPECIAL = [0.0, -0.0, math.nan, -math.nan, math.inf, -math.inf, 5e-324, -2.2250738585072014e-308, 1e-310,
           1.0, -1.0, 0.1, 1e-8, 1e308, -1e308, 1.7976931348623157e308]
FLOATS = st.one_of(st.floats(-1e3, 1e3), st.floats(), st.sampled_from(SPECIAL))
INT64 = st.one_of(st.integers(-3, 50), st.integers(-2 ** 63, 2 ** 63 - 1))
Sub = type("Sub", (np.ndarray,), {})


@st.composite
def long_vectors(draw, integer=False):
    """Up to a few thousand values from a seeded generator (magnitudes up to the extremes), mixed with drawn ones."""
    n, rng = draw(st.integers(0, 3000)), np.random.default_rng(draw(st.integers(0, 2 ** 32 - 1)))
    if integer:
        return rng.integers(*draw(st.sampled_from([(-3, 50), (-2 ** 63, 2 ** 63 - 1)])), size=n, dtype=np.int64)
    with np.errstate(over="ignore"):
        x = np.ldexp(rng.standard_normal(n), rng.integers(*draw(st.sampled_from([(-3, 4), (-1100, 1030)])), size=n))
    specials = draw(st.lists(FLOATS, max_size=5))
    if specials:
        mask = rng.random(n) < draw(st.sampled_from([0.01, 0.3, 1.0]))
        x[mask] = rng.choice(specials, int(mask.sum()))
    return x


def vectors(integer=False):
    short = st.lists(INT64 if integer else FLOATS, max_size=8).map(lambda xs: np.array(xs, np.int64 if integer else float))
    return st.one_of(short, long_vectors(integer))


def unaligned(a):
    return np.frombuffer(bytearray(1) + a.tobytes(), dtype=a.dtype, offset=1, count=a.size).reshape(a.shape)


def readonly(a):
    return np.frombuffer(a.tobytes(), a.dtype).reshape(a.shape)


# The layouts that callers pass. Vectors: the last two are not contiguous (from two elements on).
VEC_LAYOUTS = [np.copy, readonly, unaligned, lambda a: a.copy().view(Sub),
               lambda a: np.asfortranarray(np.stack([a, a], 1))[:, 1], lambda a: np.repeat(a, 2)[::2], lambda a: a[::-1]]
MAT_LAYOUTS = [np.copy, readonly, unaligned, np.asfortranarray, lambda m: np.repeat(m, 2, axis=1)[:, ::2],
               lambda m: np.repeat(m, 3, axis=0)[::3], lambda m: m[::-1, ::-1], lambda m: np.broadcast_to(m[:1], m.shape)]


def laid_out(values, layouts):
    return st.tuples(st.sampled_from(layouts), values).map(lambda p: p[0](p[1]))


@st.composite
def matrices(draw):
    values = draw(long_vectors())
    shape = draw(st.one_of(st.tuples(st.integers(0, 40), st.integers(0, 40)),
                           st.tuples(st.integers(1, 4), st.integers(21, 300))))  # groups of more than 20
    return draw(st.sampled_from(MAT_LAYOUTS))(np.resize(values, shape) if values.size else np.zeros(shape))


ANY_VECTOR = laid_out(vectors(), VEC_LAYOUTS)
ARG_STRATEGIES = {  # functions that need contiguity get mostly contiguous arrays
    "vec": laid_out(vectors(), VEC_LAYOUTS[:5] * 3 + VEC_LAYOUTS[5:]),
    "ivec": st.one_of(laid_out(vectors(integer=True), VEC_LAYOUTS[:5] * 3 + VEC_LAYOUTS[5:]),
                      vectors(integer=True).map(lambda a: a.astype(np.longlong))),  # an equivalent type
    "mat": matrices(),
    "veclist": st.one_of(st.lists(ANY_VECTOR, max_size=12), st.lists(ANY_VECTOR, max_size=4).map(tuple), matrices()),
    "seq": st.one_of(vectors().map(list), vectors().map(tuple), vectors(), st.lists(st.integers(-10 ** 6, 10 ** 6), max_size=20)),
    "float": st.one_of(st.floats(-1.0, 2.0), FLOATS, st.integers(-5, 5), st.booleans(), st.sampled_from(
        [Hooks(0.5), type("Index", (), {"__index__": lambda self: 3})(), np.float32(0.5), np.int64(-1), np.uint8(2)])),
    "int": st.one_of(st.integers(-5, 10 ** 4), INT64, st.integers(2 ** 63 - 3001, 2 ** 63 - 1),
                     st.sampled_from([True, np.int64(3), np.uint8(2), Hooks(-2)])),
    "bool": st.one_of(st.booleans(), st.booleans().map(np.bool_)),
    "options": st.one_of(st.none(), st.sampled_from([{}, {"std_ddof": 0, "unmasked": "zero"}, {"float32_counts": True},
                                                     {"std_ddof": 2}, {"bogus": 1}, [1], {"epsilon": "x"}])),
    "str": st.one_of(st.sampled_from(["mean", "median", "min", "MEAN", "Median", "", "max", "min ", "médian"]),
                     st.text(max_size=6)).map(lambda s: s if len(s) % 2 else type("Text", (str,), {})(s)),
}


@st.composite
def call_args(draw, name):
    """Generated arguments of every kind; trailing optional parameters left out or passed by keyword."""
    args = [draw(ARG_STRATEGIES[k]) for k in KINDS[name]]
    if len(args) > 1 and KINDS[name][0] == KINDS[name][1] and draw(st.booleans()):
        args[1] = args[0]  # the same object twice
    given = draw(st.integers(REQUIRED[name], len(args)))
    keywords = draw(st.integers(0, given))
    return args[:given - keywords], dict(zip(PARAMS[name][given - keywords:given], args[given - keywords:given]))
