# verl's further estimators (python/quorvale_rl_core_torch/_verl_estimators.py) against verl's own functions, on the
# batches of tests/test_dropins.py; skipped, naming the package, when verl is missing (`bash .ci/peers` installs it).
import numpy as np
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


def passk_batch(g, dtype):
    """groups of 2 to 5 in any order, one all-equal group (its best gets 0.0), padding rows."""
    sizes = [2, 3, 5, 4, 2]
    uids = np.array([f"uid-{k}" for k, n in enumerate(sizes) for _ in range(n)], dtype=object)
    uids = uids[torch.randperm(len(uids), generator=g).numpy()]
    rewards = torch.zeros(len(uids), 7, dtype=dtype)
    rewards[:, -1] = torch.randn(len(uids), generator=g, dtype=dtype)
    rewards[uids == "uid-3", -1] = 1.0
    mask = (torch.arange(7) < torch.randint(1, 8, (len(uids), 1), generator=g)).to(torch.int64)
    return rewards, mask, uids


@pytest.mark.parametrize("dtype", [torch.float64, torch.float32])
@pytest.mark.parametrize("name, batch, extra", [
    ("compute_opo_outcome_advantage", grpo_batch, {}),
    ("compute_grpo_passk_outcome_advantage", passk_batch, {"config": {}}),
    ("compute_grpo_passk_outcome_advantage", passk_batch, {"config": {"norm_adv_by_std_in_grpo": False}}),
    ("compute_gdpo_outcome_advantage", grpo_batch, {}),
    ("compute_gdpo_outcome_advantage", grpo_batch, {"norm_adv_by_std_in_grpo": False}),
])
def test_verl_further_outcome_estimators(dtype, name, batch, extra):
    core_algos = peer("verl.trainer.ppo.core_algos", "--no-deps verl==0.9.1")
    rewards, mask, uids = batch(rng(23), dtype)
    ours = getattr(verl, name)(rewards, mask, uids, **extra)
    theirs = getattr(core_algos, name)(rewards.clone(), mask, uids, **extra)
    # Group statistics are torch reductions in verl (a vectorised order), per-group index_add sums in ours; GDPO's
    # whitening sums run over rows in float64 where verl's add tokens in the values' dtype: within precision.
    close(ours[0], theirs[0], F32 if dtype == torch.float32 else F64_ORDER)
    assert ours[0] is ours[1]


def test_verl_gdpo_reward_components():
    core_algos = peer("verl.trainer.ppo.core_algos", "--no-deps verl==0.9.1")
    rewards, mask, uids = grpo_batch(rng(24), torch.float32)
    g, n = rng(25), len(uids)
    components = {"format": torch.randint(0, 2, (n,), generator=g).numpy(), "accuracy": torch.randn(n, generator=g).numpy()}
    prompts = torch.zeros(n, 3, dtype=torch.int64)
    batch = {"prompts": prompts, "attention_mask": torch.cat([torch.ones(n, 3, dtype=torch.int64), mask], dim=1)}
    config = {"gdpo_reward_keys": ["format", "accuracy"], "gdpo_reward_weights": [0.5, 2.0]}
    arguments = dict(config=config, non_tensor_batch=components, batch=batch)
    ours = verl.compute_gdpo_outcome_advantage(rewards, mask, uids, **arguments)
    theirs = core_algos.compute_gdpo_outcome_advantage(rewards, mask, uids, **arguments)
    close(ours[0], theirs[0], F32)


def test_verl_passk_needs_two_per_group_as_verl_does():
    peer("verl.trainer.ppo.core_algos", "--no-deps verl==0.9.1")
    rewards, mask, uids = grpo_batch(rng(26), torch.float64)
    with pytest.raises(ValueError, match="Pass@k requires at least 2 samples per group. Got 1 for group"):
        verl.compute_grpo_passk_outcome_advantage(rewards, mask, uids, config={})


def token_baseline_batch(g, dtype):
    """Groups of 1 to 5 with tool-token gaps, a row with no kept token, unique and tied longest rows."""
    sizes = [1, 3, 4, 5, 2]
    uids = np.array([f"uid-{k}" for k, n in enumerate(sizes) for _ in range(n)], dtype=object)
    uids = uids[torch.randperm(len(uids), generator=g).numpy()]
    rows, steps = len(uids), 24
    mask = skip_mask(g, rows, steps)
    mask[uids == "uid-4"] = 1  # a group whose two rows are equally long: no tail to zero
    mask[int(np.flatnonzero(uids == "uid-3")[0])] = 0
    rewards = torch.randn(rows, steps, generator=g, dtype=dtype) * mask
    logp = -torch.rand(rows, steps, generator=g, dtype=dtype) * 3
    pi_squared = torch.rand(rows, steps, generator=g, dtype=dtype) * 0.5
    return rewards, mask, uids, logp, pi_squared, torch.rand(rows, steps, generator=g, dtype=dtype) + 0.5


@pytest.mark.parametrize("dtype", [torch.float64, torch.float32])
@pytest.mark.parametrize("name", ["compute_optimal_token_baseline_advantage",
                                  "compute_multi_turn_optimal_token_baseline_advantage"])
@pytest.mark.parametrize("extra", [{}, {"handle_zero_tail": False}, {"weighted": True}])
def test_verl_optimal_token_baselines(dtype, name, extra):
    core_algos = peer("verl.trainer.ppo.core_algos", "--no-deps verl==0.9.1")
    rewards, mask, uids, logp, pi_squared, weights = token_baseline_batch(rng(27), dtype)
    extra = dict(extra)
    if extra.pop("weighted", False):
        extra["rollout_is_weights"] = weights
    ours = getattr(verl, name)(rewards, mask, uids, logp, pi_squared, **extra)
    theirs = getattr(core_algos, name)(rewards, mask, uids, logp, pi_squared, **extra)
    # float64: the returns in verl's order, the group sums row by row as verl's sums over a group: bit for bit.
    for a, b in zip(ours, theirs):
        exact(a, b) if dtype == torch.float64 else close(a, b, F32)


def test_verl_registers_every_estimator():
    core_algos = peer("verl.trainer.ppo.core_algos", "--no-deps verl==0.9.1")
    names = verl.register()
    theirs = {e.value for e in core_algos.AdvantageEstimator} - {"gae"}
    assert {name.removeprefix("quorvale_") for name in names} >= theirs
    for name, function in names.items():
        assert core_algos.get_adv_estimator_fn(name) is function
