# What every kernel in the registry shares, run over all of them: inputs are never written; a refused argument names
# its parameter; float32 arrays are read natively or refused. (Also over the registry: its entry matches the module
# in tests/test_calling_convention.py, no reference or memory kept in tests/test_leaks.py, the same bits on every
# path and thread count in tests/test_instruction_sets.py.)

import numpy as np
import pytest

import quorvale_rl_core as q
from registry import KERNELS, REGISTRY


def arrays_in(args):
    for a in args:
        if isinstance(a, np.ndarray):
            yield a
        elif isinstance(a, (list, tuple)):
            yield from arrays_in(a)


@pytest.mark.parametrize("name", KERNELS)
def test_inputs_unchanged(name):
    entry = REGISTRY[name]
    for args, kwargs in (entry.arguments(), (entry.large(np.random.default_rng(5)), {})):
        before = [a.copy() for a in arrays_in(list(args) + list(kwargs.values()))]
        getattr(q, name)(*args, **kwargs)
        after = list(arrays_in(list(args) + list(kwargs.values())))
        assert all(np.array_equal(x, y, equal_nan=True) and x.dtype == y.dtype for x, y in zip(before, after))


REFUSED = frozenset({1})  # refused by every conversion kind


@pytest.mark.parametrize("name, i", [(n, i) for n in KERNELS for i in range(len(REGISTRY[n].params))])
def test_refused_argument_names_its_parameter(name, i):
    args = REGISTRY[name].valid()
    args[i] = REFUSED
    positional, keywords = REGISTRY[name].arguments(args)
    parameter = REGISTRY[name].params[i]
    # out= is checked as a whole (shape, dtype, overlap) and says so in the function's own words.
    prefix = f"(argument 'out': |{name}\\(\\): out )" if REGISTRY[name].kinds.split()[i] == "out" else f"argument '{parameter}': "
    with pytest.raises(TypeError, match="^" + prefix):
        getattr(q, name)(*positional, **keywords)


def float32_variant(args):
    return [a.astype(np.float32) if isinstance(a, np.ndarray) and a.dtype == np.float64 else a for a in args]


@pytest.mark.parametrize("name", KERNELS)
def test_float32_rule(name):
    """float32 arrays are read as they are, results rounded once from the float64 ones; or they are refused."""
    entry = REGISTRY[name]
    args = entry.valid()
    narrow = float32_variant(args)
    call = lambda values: getattr(q, name)(*entry.arguments(values)[0], **entry.arguments(values)[1])  # noqa: E731
    if all(a is b for a, b in zip(narrow, args)):
        pytest.skip("no float64 array parameter")
    if not entry.float32:
        with pytest.raises(TypeError, match="^argument '"):
            call(narrow)
        return
    widened = [a.astype(np.float64) if isinstance(a, np.ndarray) and a.dtype == np.float32 else a for a in narrow]
    got, expected = call(narrow), call(widened)
    for g, e in zip(got if isinstance(got, tuple) else [got], expected if isinstance(expected, tuple) else [expected]):
        assert g.dtype == np.float32 and np.array_equal(g, e.astype(np.float32), equal_nan=True)


@pytest.mark.parametrize("name", [n for n in KERNELS if "out" in REGISTRY[n].kinds.split()])
def test_out_receives_the_results(name):
    """Fresh float64, float32 and strided destinations, then inputs themselves, the same array or one shifted by an
    element (each input is read before it is overwritten); out is what the call returns."""
    entry = REGISTRY[name]
    args = entry.large(np.random.default_rng(3))
    want = getattr(q, name)(*args)
    want = want if isinstance(want, tuple) else (want,)
    shape = want[0].shape

    def inputs(shifted=False):  # copies of the arguments, and the arrays among them of the result's shape as outs
        copies = [a.copy() if isinstance(a, np.ndarray) else a for a in args]
        aliased = [i for i, a in enumerate(copies) if isinstance(a, np.ndarray) and a.shape == shape and a.dtype.kind == "f"]
        if shifted:  # each such input one element before the out laid over it
            for i in aliased:
                wide = np.zeros(shape[:-1] + (shape[-1] + 1,))
                wide[..., :-1] = copies[i]
                copies[i] = wide[..., :-1]
            return copies, [np.asarray(copies[i]).base[..., 1:] for i in aliased]
        return copies, [copies[i] for i in aliased]

    strided = lambda dtype=np.float64: np.zeros(shape[:-1] + (2 * shape[-1],), dtype)[..., ::2]  # noqa: E731
    for copies, outs in [(list(args), [np.empty(shape) for _ in want]), (list(args), [strided(np.float32) for _ in want]),
                         (list(args), [strided() for _ in want]), inputs(), inputs(shifted=True)]:
        if len(outs) < len(want):
            continue
        outs = tuple(outs[:len(want)])
        got = getattr(q, name)(*copies, out=outs if len(want) > 1 else outs[0])
        got = got if isinstance(got, tuple) else (got,)
        assert all(g is o and np.array_equal(o, w.astype(o.dtype), equal_nan=True) for g, o, w in zip(got, outs, want))
