"""What verl's drop-ins share: verl's whitening, the uid groups and their per-sample scalars, the broadcast of a scalar
per sample over the response mask, and the test for tensors the kernels read in place."""

from __future__ import annotations

import numpy as np
import torch

from . import broadcast_row_values, compute_grpo_advantages_ragged, compute_masked_whitening
from ._products import empty_like, is_binary, times_mask, times_mask_in_place


def _whiten(values, mask, shift_mean=True):
    """masked_whiten with the mask's bool form and count formed once, not per mean."""
    count = mask.sum()
    if count == 0:
        raise ValueError("At least one element in the mask has to be 1.")
    if count == 1:
        raise ValueError("The sum of the mask is one, which can cause a division by zero.")
    kept, divisor, bessel = mask.bool(), count + 1e-8, count / (count - 1)
    fresh = not (torch.is_grad_enabled() and values.requires_grad)  # in-place steps would break a backward pass
    if fresh and is_binary(mask) and values.shape == mask.shape:
        # where(kept, x, 0) already is verl's product with a 0/1 mask; one scratch buffer serves both sums.
        scratch, centred = empty_like(values), empty_like(values)
        mean = torch.where(kept, values, torch.zeros((), dtype=values.dtype), out=scratch).sum() / divisor
        torch.sub(values, mean, out=centred)
        torch.square(centred, out=scratch).masked_fill_(~kept, 0.0)
        scale = torch.rsqrt(scratch.sum() / divisor * bessel + 1e-8)
        del scratch
        whitened = centred.mul_(scale) if centred.dtype == scale.dtype else centred * scale
    else:

        def mean_of(x):
            chosen = torch.where(kept, x, 0.0)
            return (times_mask_in_place(chosen, mask) if fresh else chosen * mask).sum() / divisor

        mean = mean_of(values)
        if fresh:
            centred = values - mean
            scale = torch.rsqrt(mean_of(centred**2) * bessel + 1e-8)
            whitened = centred.mul_(scale) if centred.dtype == scale.dtype else centred * scale
        else:  # verl's steps in verl's order, so that autograd sums the gradients in the same order
            variance = mean_of((values - mean_of(values)) ** 2) * bessel
            whitened = (values - mean) * torch.rsqrt(variance + 1e-8)
    if not shift_mean:
        whitened += mean
    return whitened


def _whiten_rows(scalars, mask):
    """`masked_whiten(scalars tiled * mask, mask) * mask` for a 0/1 mask, from per-row counts.

    The kept tokens of a row share one value, so verl's sums over tokens are sums over rows of value times count
    (formed in float64, then rounded to the values' dtype, where verl's sums add in that dtype: the same up to the
    rounding of verl's sums); everything else is verl's arithmetic in verl's dtypes, per row instead of per token.
    """
    counts = mask.sum(dim=-1)
    count = counts.sum()
    if count == 0:
        raise ValueError("At least one element in the mask has to be 1.")
    if count == 1:
        raise ValueError("The sum of the mask is one, which can cause a division by zero.")
    present, weights = counts > 0, counts.to(torch.float64)
    divisor, bessel = count + 1e-8, count / (count - 1)

    def mean_of(per_row):  # rows without kept tokens add nothing, whatever their value
        return torch.where(present, per_row.to(torch.float64) * weights, 0.0).sum().to(per_row.dtype) / divisor

    centred = scalars - mean_of(scalars)
    scale = torch.rsqrt(mean_of(centred**2) * bessel + 1e-8)
    return _spread(centred * scale, mask)


def _group_labels(index):
    """int64 labels 0..G-1 for verl's group index (uids: a NumPy array of strings or objects, a list, a tensor)."""
    if isinstance(index, torch.Tensor):
        index = index.detach().cpu().numpy()
    array = np.asarray(index)
    if array.dtype.kind in "iub":
        return np.unique(array.reshape(-1), return_inverse=True)[1].astype(np.int64)
    try:
        return np.unique(array.reshape(-1), return_inverse=True)[1].astype(np.int64)
    except TypeError:  # labels of mixed, unorderable types: number them in order of appearance
        seen = {}
        return np.fromiter((seen.setdefault(label, len(seen)) for label in array.reshape(-1)), np.int64, array.size)


def _outcome(scores, index, baseline_type, scale, epsilon, singleton):
    """Per-sample advantages of `scores` grouped by `index`; `singleton(scores)` gives one-member groups' values."""
    if scores.numel() == 0:
        return scores.clone()
    labels = _group_labels(index)
    advantages = compute_grpo_advantages_ragged(
        scores, None, baseline_type, scale, group_ids=labels, std_ddof=1, epsilon=epsilon, std_floor=0.0
    )
    counts = np.bincount(labels)
    alone = torch.from_numpy(counts[labels] == 1).to(scores.device)
    if bool(alone.any()):
        advantages = torch.where(alone, singleton(scores), advantages)
    return advantages


def _native(*tensors):
    """True when every tensor is a CPU float32/float64 tensor without autograd: the kernels read them in place."""
    return all(
        t.device.type == "cpu"
        and t.dtype in (torch.float32, torch.float64)
        and not (torch.is_grad_enabled() and t.requires_grad)
        for t in tensors
    )


def _native_whiten(values, mask, unmasked="whitened", out=None):
    """verl's masked_whiten by the kernel: torch forms the count and n / (n - 1) in float32 unless the mask is
    float64; the sums run in the kernel's fixed order (so float64 agrees with verl within its summation error)."""
    try:
        return compute_masked_whitening(
            values, mask, unmasked=unmasked, float32_counts=mask.dtype != torch.float64, out=out
        )
    except ValueError:
        _refuse_too_few(mask)
        raise


def _refuse_too_few(mask):
    """verl's errors for a mask that keeps too few tokens to whiten over."""
    count = int(mask.sum())
    if count == 0:
        raise ValueError("At least one element in the mask has to be 1.") from None
    if count == 1:
        raise ValueError("The sum of the mask is one, which can cause a division by zero.") from None


def _spread(scalars, mask):
    """scalars[:, None] * mask in the product's dtype: by the kernel for bool and integer (0/1) masks, whose flags are
    the product's factors; a floating mask may hold other factors, so it is multiplied."""
    dtype = torch.promote_types(scalars.dtype, mask.dtype)
    floats = (torch.float32, torch.float64)
    if mask.is_floating_point() or dtype not in floats or mask.dim() != 2 or not _native(scalars):
        return times_mask(scalars.unsqueeze(-1), mask)
    return broadcast_row_values(scalars, mask, out=empty_like(torch.empty((), dtype=dtype).expand(mask.shape)))


def _whiten_spread(scalars, mask, width):
    """`masked_whiten(scalars tiled * mask, mask) * mask`: from per-row counts for a 0/1 mask, else token by token."""
    if mask.dim() == 2 and scalars.shape == mask.shape[:1] and is_binary(mask):
        return _whiten_rows(scalars, mask)
    tiled = times_mask(scalars.unsqueeze(-1).expand(-1, width), mask)
    return times_mask_in_place(_whiten(tiled, mask), mask)
