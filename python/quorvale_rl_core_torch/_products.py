"""Products with masks and new result buffers for the drop-ins: the bits of torch's own operations, in less time.

Trainers multiply float tensors by integer or bool masks (`scores * response_mask`); torch casts such a mask element
by element inside the product, several times slower than the product itself, and faults in every new result buffer
page by page. NumPy's loop casts the mask in vector registers, and NumPy asks the kernel to back large arrays with
huge pages; both cast the mask to the product's dtype and multiply there, so the bits are torch's.
"""

from __future__ import annotations

import numpy as np
import torch

NUMPY_FLOATS = {torch.float32: np.float32, torch.float64: np.float64}
NUMPY_MASKS = (torch.bool, torch.uint8, torch.int8, torch.int16, torch.int32, torch.int64, *NUMPY_FLOATS)


def empty_like(tensor):
    """A new tensor like `tensor`; on the CPU on NumPy's memory, which NumPy asks the kernel to back with huge pages:
    a fresh result of hundreds of MB then takes a fraction of the page faults of torch's own allocation."""
    if tensor.device.type == "cpu" and tensor.dtype in NUMPY_FLOATS:
        return torch.from_numpy(np.empty(tensor.shape, NUMPY_FLOATS[tensor.dtype]))
    return torch.empty_like(tensor, memory_format=torch.contiguous_format)


def times_mask(values, mask, out=None):
    """values * mask (values broadcast to the mask's shape) with the bits of torch's product, into `out` if given.

    By NumPy for CPU tensors of the dtypes it shares (see the module's docstring), else by torch.
    """
    dtype = torch.promote_types(values.dtype, mask.dtype)
    plain = values.device.type == mask.device.type == "cpu" and not (torch.is_grad_enabled() and values.requires_grad)
    shared = dtype in NUMPY_FLOATS and values.dtype in NUMPY_MASKS and mask.dtype in NUMPY_MASKS
    if not (plain and shared) or values.dim() > mask.dim():
        return values * mask if out is None else torch.mul(values, mask, out=out)
    if torch.broadcast_shapes(values.shape, mask.shape) != mask.shape:
        return values * mask if out is None else torch.mul(values, mask, out=out)
    if out is None:
        out = torch.from_numpy(np.empty(mask.shape, NUMPY_FLOATS[dtype]))  # see empty_like
    arrays = values.detach().numpy(), mask.detach().numpy(), out.numpy()
    np.multiply(*arrays[:2], out=arrays[2], dtype=NUMPY_FLOATS[dtype], casting="unsafe")
    return out


def times_mask_in_place(values, mask):
    """values * mask into `values`, a temporary of the mask's shape and the product's dtype."""
    if values.dtype != torch.promote_types(values.dtype, mask.dtype) or values.shape != mask.shape:
        return values * mask
    return times_mask(values, mask, out=values)


def is_binary(mask):
    """True for a bool mask or an integer mask of zeros and ones (one read of the mask), whose products with it
    change no bits of the kept values."""
    if mask.dtype == torch.bool:
        return True
    if mask.is_floating_point() or mask.is_complex() or mask.numel() == 0:
        return False
    low, high = torch.aminmax(mask)
    return bool(low >= 0) and bool(high <= 1)
