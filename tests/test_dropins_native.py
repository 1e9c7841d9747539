# verl's further estimators (python/quorvale_rl_core_torch/_verl_estimators.py) against verl's own functions, on the
# batches of tests/test_dropins.py; skipped, naming the package, when verl is missing (`bash .ci/peers` installs it).
import pytest

from peers import peer

torch = pytest.importorskip("torch")
from quorvale_rl_core_torch import verl  # noqa: E402
from test_dropins import F32, F64_ORDER, close, exact, grpo_batch, rng, skip_mask  # noqa: E402


@pytest.mark.parametrize("dtype", [torch.float64, torch.float32])
@pytest.mark.parametrize("name, extra", [
    ("compute_rloo_vectorized_outcome_advantage", {}),
    ("compute_gpg_outcome_advantage", {}),
    ("compute_gpg_outcome_advantage", {"f_norm": 3.0}),
])
def test_verl_grouped_estimators(dtype, name, extra):
    core_algos = peer("verl.trainer.ppo.core_algos", "--no-deps verl==0.9.1")
    rewards, mask, uids = grpo_batch(rng(21), dtype)
    ours = getattr(verl, name)(rewards, mask, uids, **extra)
    theirs = getattr(core_algos, name)(rewards.clone(), mask, uids, **extra)
    # Same formulas; verl's group means are torch reductions and its RLOO is (c * s - sum) / (c - 1): within precision.
    close(ours[0], theirs[0], F32 if dtype == torch.float32 else F64_ORDER)
    close(ours[1], theirs[1], F32 if dtype == torch.float32 else F64_ORDER)


@pytest.mark.parametrize("dtype", [torch.float64, torch.float32])
def test_verl_remax(dtype):
    core_algos = peer("verl.trainer.ppo.core_algos", "--no-deps verl==0.9.1")
    g = rng(22)
    rewards, mask = torch.randn(8, 30, generator=g, dtype=dtype), skip_mask(g, 8, 30)
    baselines = torch.randn(8, generator=g, dtype=dtype)
    ours = verl.compute_remax_outcome_advantage(rewards, baselines, mask)
    theirs = core_algos.compute_remax_outcome_advantage(rewards, baselines, mask)
    for a, b in zip(ours, theirs):  # float64: the cumulative sum in verl's order, bit for bit
        exact(a, b) if dtype == torch.float64 else close(a, b, F32)


def test_verl_registers_the_further_estimators():
    core_algos = peer("verl.trainer.ppo.core_algos", "--no-deps verl==0.9.1")
    names = verl.register()
    for name in ("remax", "rloo_vectorized", "gpg"):
        assert core_algos.get_adv_estimator_fn("quorvale_" + name) is names["quorvale_" + name]
