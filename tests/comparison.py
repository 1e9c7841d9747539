# Comparing results bit for bit, against the reference or the documented exception.
import contextlib
import struct

import numpy as np
import pytest

import reference as ref
from registry import KINDS, NOT_CONTIGUOUS, PARAMS, call


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
