"""Notes on refused arguments: what the parameter expected and what it got.

The exception's type and text are fixed by the calling convention; the note
(PEP 678 __notes__, set as an attribute on 3.10 too) comes on top.
"""

import sys

import numpy as np
import pytest

import quorvale_rl_core as q

f64 = np.ones(4)
strided = np.ones(8)[::2]
m = np.ones((3, 2))
lengths = np.ones(4, dtype=np.int64)
VEC = "a one-dimensional float64 numpy.ndarray"
NUMBERS = "a sequence of numbers (list, tuple or numpy.ndarray)"


class Tensorish:
    """Stands in for a framework tensor passed without .numpy()."""


NOTES = [  # call, note (the message itself: tests/test_calling_convention.py, tests/test_trainer_buffers.py)
    (lambda: q.compute_gae(np.ones((2, 2), np.float32), f64),
     f"rewards: expected {VEC}; got float32 with 2 dimensions"),
    (lambda: q.compute_gae(f64, [0.0]), f"values: expected {VEC}; got list"),
    (lambda: q.compute_ppo_surrogate(f64, Tensorish()), f"advantages: expected {VEC}; got {__name__}.Tensorish"),
    (lambda: q.compute_group_advantages(f64, "mean", True),
     "rewards: expected a two-dimensional float64 numpy.ndarray; got float64 with 1 dimension"),
    (lambda: q.compute_gspo_importance_ratios(f64, f64, lengths.astype(np.int32)),
     "sequence_lengths: expected a one-dimensional int64 numpy.ndarray; got int32 with 1 dimension"),
    (lambda: q.compute_padded_gae(m, m, m, dones=np.zeros(3, dtype=bool)),
     "dones: expected a two-dimensional bool, integer or floating numpy.ndarray; got bool with 1 dimension"),
    (lambda: q.batch_compute_gae([f64, f64, f64.astype(np.float32)], [f64]),
     f"all_rewards[2]: expected {VEC}; got float32 with 1 dimension"),
    (lambda: q.batch_compute_gae([f64], (x for x in [f64])),
     "all_values: expected a sequence of one-dimensional float64 numpy.ndarray; got generator"),
    (lambda: q.compute_reward_statistics("abc"), f"rewards: expected {NUMBERS}; got str"),
    (lambda: q.compute_group_advantages(m, b"mean", True), "baseline_type: expected a str; got bytes"),
    (lambda: q.compute_group_advantages(m, "mean", 1), "normalize: expected a bool or numpy.bool_; got int"),
    (lambda: q.compute_gae(strided, f64),
     "rewards: not contiguous (strides (16,)); pass numpy.ascontiguousarray(rewards)"),
    (lambda: q.compute_ppo_surrogate(f64, f64[::-1]),
     "advantages: not contiguous (strides (-8,)); pass numpy.ascontiguousarray(advantages)"),
]


@pytest.mark.parametrize("call, note", NOTES, ids=[n.split(":")[0] + "-" + str(i) for i, (_, n) in enumerate(NOTES)])
def test_refusal_carries_one_note(call, note):
    with pytest.raises(TypeError) as caught:
        call()
    assert type(caught.value) is TypeError and caught.value.__notes__ == [note] and note not in str(caught.value)


@pytest.mark.parametrize("call", [
    lambda: q.compute_gae(f64, f64, gamma="x"),          # the interpreter's own wording says enough
    lambda: q.normalize_rewards(f64, count=1.5),
    lambda: q.compute_gae(f64, f64, gamma=10**400),      # OverflowError, unprefixed
    lambda: q.compute_gae(f64, f64, 0.9, 0.9, 1),        # argument matching
])
def test_other_failures_carry_no_note(call):
    with pytest.raises((TypeError, OverflowError)) as caught:
        call()
    assert not hasattr(caught.value, "__notes__")


@pytest.mark.skipif(sys.version_info < (3, 11), reason="tracebacks show notes from 3.11")
def test_traceback_shows_the_note():
    import traceback

    try:
        q.compute_gae(np.ones(3, np.float32), f64)
    except TypeError as e:
        shown = "".join(traceback.format_exception(e))
    assert shown.rstrip().endswith(f"rewards: expected {VEC}; got float32 with 1 dimension")
