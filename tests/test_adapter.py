# The torch adapter against the module: every adapted function of the registry, called with tensors, gives the
# module's results on the same arrays, bit for bit, as tensors on the input's device (contiguous or strided);
# dtypes, copies and the message without torch.
import numpy as np
import pytest

import quorvale_rl_core as q
from processes import run_ok
from registry import REGISTRY

ADAPTED = [name for name, entry in REGISTRY.items() if entry.kernel and entry.adapted]


def test_adapter_without_torch_says_so():
    out = run_ok("""
    import sys
    sys.modules["torch"] = None  # as if torch were not installed
    try:
        import quorvale_rl_core_torch
    except ImportError as e:
        print(e)
    """)
    assert out.startswith("quorvale_rl_core_torch needs PyTorch, which is not installed")


@pytest.fixture(scope="module")
def adapter():
    pytest.importorskip("torch")
    import quorvale_rl_core_torch
    return quorvale_rl_core_torch


def call_with_tensors(adapter, name, make, generic=False):
    """The adapter's result and the module's on the registry's valid arguments, every array a tensor made by `make`
    (`generic`: the adapter's function built from the registry entry, as for a function nobody wrote by hand)."""
    entry = REGISTRY[name]
    function = adapter._generic(name, entry.kinds, entry.float32, entry.outputs) if generic else getattr(adapter, name)
    values = entry.valid()

    def tensor(value, kind):
        if kind == "veclist":
            return [make(item) for item in value]
        if kind == "seq" or isinstance(value, np.ndarray):
            return make(np.asarray(value, dtype=np.float64 if kind == "seq" else None))
        return value

    tensors = [tensor(value, kind) for value, kind in zip(values, entry.kinds.split())]
    args, kwargs = entry.arguments(tensors)
    expected_args, expected_kwargs = entry.arguments(values)
    return function(*args, **kwargs), getattr(q, name)(*expected_args, **expected_kwargs)


def flat(result):
    """A result as a list of leaves (dicts by value, sequences item by item)."""
    if isinstance(result, dict):
        result = list(result.values())
    if isinstance(result, (list, tuple)):
        return [leaf for item in result for leaf in flat(item)]
    return [result]


@pytest.mark.parametrize("generic", [False, True], ids=["written", "generic"])
@pytest.mark.parametrize("layout", ["contiguous", "strided"])
@pytest.mark.parametrize("name", ADAPTED)
def test_adapter_gives_the_module_results(adapter, name, layout, generic):
    import torch

    def make(a):
        if layout == "strided":  # a view every second element of a doubled array
            return torch.from_numpy(np.repeat(a, 2, axis=-1)).unflatten(-1, (-1, 2))[..., 0]
        return torch.from_numpy(a)

    got, expected = call_with_tensors(adapter, name, make, generic)
    got, expected = flat(got), flat(expected)
    assert len(got) == len(expected)
    for g, e in zip(got, expected):
        if isinstance(e, np.ndarray):
            assert isinstance(g, torch.Tensor) and g.dtype == torch.float64
            assert np.array_equal(g.numpy().view(np.int64), e.view(np.int64))
        else:
            assert g == e or (g != g and e != e)


def test_adapter_results_on_the_input_device(adapter):
    """Results come back on the device of the input, not on the CPU where the kernel ran (no GPU here:
    a CPU tensor that reports another device stands in for one)."""
    import torch

    class Elsewhere(torch.Tensor):
        @classmethod
        def __torch_function__(cls, func, types, args=(), kwargs=None):
            if getattr(func, "__self__", None) is torch._C.TensorBase.device:
                return torch.device("meta")
            with torch._C.DisableTorchFunctionSubclass():
                return func(*args, **(kwargs or {}))

    devices = {name: {leaf.device.type for leaf in flat(call_with_tensors(adapter, name, lambda a: torch.from_numpy(a).as_subclass(Elsewhere))[0])
                      if isinstance(leaf, torch.Tensor)} for name in ADAPTED}
    assert devices == {name: set() if name == "compute_reward_statistics" else {"meta"} for name in ADAPTED}


@pytest.mark.parametrize("first, second, result", [
    ("float64", "float64", "float64"), ("float32", "float32", "float32"), ("float16", "float16", "float16"),
    ("bfloat16", "bfloat16", "bfloat16"), ("float32", "float64", "float64"), ("float64", "float32", "float64"),
    ("bfloat16", "float32", "float64")])
def test_adapter_dtypes(adapter, first, second, result):
    """Results in the dtype the floating tensors share, float64 when they differ (in any order): the module's results
    on what the adapter reads (half precision as float32), rounded once."""
    import torch
    rng = np.random.default_rng(1)
    a = torch.from_numpy(rng.normal(size=(3, 9))).to(getattr(torch, first))
    b, c = (torch.from_numpy(rng.normal(size=(3, 9))).to(getattr(torch, second)) for _ in range(2))
    dones, mask = rng.random((3, 9)) < 0.2, rng.random((3, 9)) < 0.9
    dtype = getattr(torch, result)
    read = lambda t: (t.float() if t.dtype in (torch.float16, torch.bfloat16) else t).numpy()  # noqa: E731
    for got, want in ((adapter.compute_padded_gae(a, b, c, dones=torch.from_numpy(dones).float(), mask=torch.from_numpy(mask), gamma=0.9),
                       q.compute_padded_gae(read(a), read(b), read(c), dones, None, mask, 0.9)),
                      (adapter.compute_padded_gae(a, b), q.compute_padded_gae(read(a), read(b))),
                      ((adapter.compute_grpo_advantages_ragged(a.flatten(), torch.tensor([20, 7]), "leave_one_out", "batch"),),
                       (q.compute_grpo_advantages_ragged(read(a).flatten(), np.array([20, 7]), "leave_one_out", "batch"),))):
        for g, w in zip(got, want):
            assert g.dtype == (dtype if len(got) == 2 else a.dtype) and g.shape == w.shape
            assert torch.equal(g, torch.from_numpy(w).to(g.dtype))
    assert adapter.compute_gae(a[0], torch.ones(4, dtype=getattr(torch, second))).dtype == dtype


def test_adapter_float64_cpu_without_copies(adapter):
    import torch
    m = torch.arange(12.0, dtype=torch.float64).reshape(3, 4)
    assert adapter._floats(m, "rewards").ctypes.data == m.data_ptr()  # contiguous: the tensor's own memory
    assert adapter._floats(m.t(), "rewards").ctypes.data == m.data_ptr()  # strided: matrix kernels read strides
    out = adapter.compute_grpo_advantages(m.t(), "median", "none")
    assert out.dtype == torch.float64 and torch.equal(out, torch.from_numpy(q.compute_grpo_advantages(m.numpy().T, "median", "none")))
    grad = m.clone().requires_grad_()
    assert not adapter.compute_gae(grad[0], grad[1]).requires_grad  # results are targets, detached
    with pytest.raises(TypeError, match=r"^argument 'rewards': expected a floating-point tensor, got torch.int64$"):
        adapter.compute_gae(torch.arange(3), m[0])
