# The registry of the nine functions, result comparison, generated arguments, subprocesses. Environment:
# QRL_EXAMPLES (cases per property test, default 60), QRL_FUZZ_EXAMPLES (fuzz cases per function, default 400),
# QRL_LEAK_CALLS (calls per leak check, default 100000), QRL_SANITIZER (set in sanitizer runs: no memory bounds).
import contextlib
import faulthandler
import math
import os
import struct
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import reference as ref  # noqa: E402

settings.register_profile("suite", max_examples=int(os.environ.get("QRL_EXAMPLES", "60")), deadline=None, database=None,
                          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
settings.load_profile("suite")
FUZZ_EXAMPLES = int(os.environ.get("QRL_FUZZ_EXAMPLES", "400"))
LEAK_CALLS = int(os.environ.get("QRL_LEAK_CALLS", "100000"))
SANITIZER = os.environ.get("QRL_SANITIZER", "")


def f64(values):
    return np.array(values, dtype=np.float64)


# name: (text signature, conversion kind of each parameter, first docstring line, valid arguments)
REGISTRY = {
    "compute_group_advantages": ("(rewards, baseline_type, normalize)", "mat str bool", "Compute group-relative "
                                 "advantages for GRPO training", lambda: [np.arange(6.0).reshape(2, 3), "median", True]),
    "compute_gae": ("(rewards, values, gamma=0.99, gae_lambda=0.95)", "vec vec float float", "Compute Generalized Advantage "
                    "Estimation (GAE) for a trajectory", lambda: [f64([1.0, 2.0, 3.0]), f64([0.5] * 4), 0.9, 0.8]),
    "batch_compute_gae": ("(all_rewards, all_values, gamma=0.99, gae_lambda=0.95)", "veclist veclist float float", "Batch compute GAE "
                          "for multiple trajectories in parallel", lambda: [[f64([1.0, 2.0]), f64([3.0])], [f64([0.5] * 3), f64([1.0, 1.0])], 0.9, 0.8]),
    "normalize_rewards": ("(rewards, running_mean=0.0, running_var=1.0, count=0, epsilon=1e-8)", "vec float float int float",
                          "Normalize rewards using running statistics", lambda: [f64([1.0, 2.0, 4.0]), 0.5, 2.0, 7, 1e-6]),
    "clip_rewards_py": ("(rewards, min_val, max_val)", "vec float float", "Clip rewards to a specified range",
                        lambda: [f64([-2.0, 0.5, 3.0]), -1.0, 1.0]),
    "compute_gspo_importance_ratios": ("(log_probs_new, log_probs_old, sequence_lengths)", "vec vec ivec", "Compute GSPO sequence-level "
                                       "importance ratios", lambda: [f64([-10.0, -3.0, 1.0]), f64([-12.0, -3.5, 1.0]), np.arange(4, 1, -1)]),
    "apply_gspo_clipping": ("(ratios, advantages, clip_left=0.0003, clip_right=0.0004)", "vec vec float float", "Apply GSPO clipping to "
                            "importance ratios", lambda: [f64([1.001, 0.9, 0.5]), f64([2.0, -1.0, 1.0]), 0.001, 0.002]),
    "compute_ppo_surrogate": ("(ratios, advantages, clip_epsilon=0.2)", "vec vec float", "Compute PPO clipped surrogate objective",
                              lambda: [f64([1.5, 0.5, 1.0]), f64([2.0, -1.0, 3.0]), 0.1]),
    "compute_reward_statistics": ("(rewards)", "seq", "Compute reward statistics for a batch of trajectories", lambda: [[2.0, -1.0, 7.0]]),
}
NAMES = list(REGISTRY)
PARAMS = {n: [p.split("=")[0] for p in sig[1:-1].split(", ")] for n, (sig, *_) in REGISTRY.items()}
REQUIRED = {n: sig.count(",") + 1 - sig.count("=") for n, (sig, *_) in REGISTRY.items()}
KINDS = {n: kinds.split() for n, (_, kinds, *_) in REGISTRY.items()}
BOUNDS, UNWRAP = "min > max, or either was NaN. ", "called `Option::unwrap()` on a `None` value"
PANICS = {"clip_rewards_py": BOUNDS, "compute_ppo_surrogate": BOUNDS, "compute_reward_statistics": UNWRAP}
NOT_CONTIGUOUS = "The given array is not contiguous"


class Hooks:
    """Passes the sequence check; every conversion hook raises `value`, or returns it (often of the wrong type)."""

    def __init__(self, value):
        self.value = value

    def _hook(self, *args):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value() if callable(self.value) else self.value

    __float__ = __index__ = __int__ = __bool__ = __len__ = __iter__ = __getitem__ = _hook


def valid(name):
    return REGISTRY[name][3]()


def call(name, *args, **kwargs):
    return getattr(__import__("quorvale_rl_core"), name)(*args, **kwargs)


# ---------------------------------------------------------------- comparing results

def key(x):
    return "NaN" if x != x else struct.pack("<d", x)


def matches(got, exp):
    """Floats bit for bit (any NaN equals any NaN), types exact. A reference Vec asks for a float64 result
    vector, where None matches any value."""
    if isinstance(exp, ref.Vec):
        return (is_result_vector(got) and len(got) == len(exp)
                and all(e is None or key(g) == key(e) for g, e in zip(got.tolist(), exp)))
    if isinstance(exp, np.ndarray):
        return (type(got) is type(exp) and (got.dtype, got.shape) == (exp.dtype, exp.shape)
                and matches(got.ravel().tolist(), exp.ravel().tolist()))
    if isinstance(exp, (list, tuple)):
        return type(got) is type(exp) and len(got) == len(exp) and all(map(matches, got, exp))
    if isinstance(exp, dict):
        return type(got) is dict and got.keys() == exp.keys() and all(matches(got[k], exp[k]) for k in exp)
    return type(got) is type(exp) and (key(got) == key(exp) if isinstance(exp, float) else got == exp)


def is_result_vector(a):
    return (type(a) is np.ndarray and a.dtype == np.float64 and a.ndim == 1 and a.flags.c_contiguous
            and a.flags.owndata and a.flags.writeable)


@contextlib.contextmanager
def raises_panic(message=None):
    """Expect the module's internal-failure exception: a BaseException named PanicException."""
    with pytest.raises(BaseException) as info:
        yield info
    e = info.value
    assert type(e).__name__ == "PanicException" and not isinstance(e, Exception), repr(e)
    assert e.args == (str(e),) and message in (None, str(e)), str(e)


def expect(name, args, kwargs):
    """The documented outcome of a call whose arguments all convert: a result, or the exception to raise."""
    bound = dict(zip(PARAMS[name], args), **kwargs)
    if any(k in ("vec", "ivec") and not (bound[p].flags.c_contiguous or bound[p].flags.f_contiguous)
           for p, k in zip(PARAMS[name], KINDS[name]) if p in bound):
        return TypeError(NOT_CONTIGUOUS)
    try:
        return getattr(ref, name)(*args, **kwargs)
    except (ref.Failure, OverflowError) as e:
        return e


def assert_like_reference(name, args, kwargs={}):
    expected = expect(name, args, kwargs)
    if isinstance(expected, ref.Failure):
        with raises_panic(str(expected)):
            call(name, *args, **kwargs)
    elif isinstance(expected, Exception):
        with pytest.raises(type(expected)) as info:
            call(name, *args, **kwargs)
        assert type(info.value) is type(expected) and str(info.value) == str(expected)
    else:
        assert matches(call(name, *args, **kwargs), expected), (call(name, *args, **kwargs), expected)


# ---------------------------------------------------------------- generated arguments

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


# ---------------------------------------------------------------- processes

def pytest_runtest_setup(item):  # a test that hangs dumps every thread's stack and ends the run
    faulthandler.dump_traceback_later(1800, exit=True)


def run_ok(code, env=None, timeout=600):
    """Run a snippet in a fresh interpreter (env entries set to None are removed); return its stdout."""
    full = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    full.update(OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1", **(env or {}))
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], cwd="/", capture_output=True, text=True,
                          env={k: v for k, v in full.items() if v is not None}, timeout=timeout)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout.strip()
