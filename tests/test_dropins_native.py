# verl's further estimators (python/quorvale_rl_core_torch/_verl_estimators.py) against verl's own functions, on the
# batches of tests/test_dropins.py; skipped, naming the package, when verl is missing (`bash .ci/peers` installs it).
import numpy as np
import pytest

torch = pytest.importorskip("torch")
from quorvale_rl_core_torch import verl  # noqa: E402
from test_dropins import DTYPES, F32, agree, batch_of_groups, check_outcome, close, randn, rng, skip_mask, verl_pair  # noqa: E402


def passk_batch(g, dtype):
    """groups of 2 to 5 in any order, one all-equal group (its best gets 0.0), padding rows."""
    return batch_of_groups(g, dtype, sizes=(2, 3, 5, 4, 2), equal=(("uid-3", 1.0),))


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("name, batch, extra", [
    ("compute_rloo_vectorized_outcome_advantage", batch_of_groups, {}),  # verl's RLOO is (c * s - sum) / (c - 1)
    ("compute_gpg_outcome_advantage", batch_of_groups, {}),
    ("compute_gpg_outcome_advantage", batch_of_groups, {"f_norm": 3.0}),
    ("compute_opo_outcome_advantage", batch_of_groups, {}),
    ("compute_grpo_passk_outcome_advantage", passk_batch, {"config": {}}),
    ("compute_grpo_passk_outcome_advantage", passk_batch, {"config": {"norm_adv_by_std_in_grpo": False}}),
    # GDPO's whitening sums run over rows in float64 where verl's add tokens in the values' dtype
    ("compute_gdpo_outcome_advantage", batch_of_groups, {}),
    ("compute_gdpo_outcome_advantage", batch_of_groups, {"norm_adv_by_std_in_grpo": False}),
])
def test_verl_further_outcome_estimators(core_algos, dtype, name, batch, extra):
    check_outcome(core_algos, name, batch, extra, dtype, 23)


@pytest.mark.parametrize("dtype", DTYPES)
def test_verl_remax(core_algos, dtype):
    g = rng(22)
    rewards, mask = randn(g, dtype, 8, 30), skip_mask(g, 8, 30)
    # float64: the cumulative sum in verl's order, bit for bit
    agree(*verl_pair(core_algos, "compute_remax_outcome_advantage", rewards, randn(g, dtype, 8), mask), dtype)


def test_verl_gdpo_reward_components(core_algos):
    rewards, mask, uids = batch_of_groups(rng(24), torch.float32)
    g, n = rng(25), len(uids)
    components = {"format": torch.randint(0, 2, (n,), generator=g).numpy(), "accuracy": torch.randn(n, generator=g).numpy()}
    batch = {"prompts": torch.zeros(n, 3, dtype=torch.int64),
             "attention_mask": torch.cat([torch.ones(n, 3, dtype=torch.int64), mask], dim=1)}
    config = {"gdpo_reward_keys": ["format", "accuracy"], "gdpo_reward_weights": [0.5, 2.0]}
    ours, theirs = verl_pair(core_algos, "compute_gdpo_outcome_advantage", rewards, mask, uids, config=config,
                             non_tensor_batch=components, batch=batch)
    close(ours[0], theirs[0], F32)


def test_verl_passk_needs_two_per_group_as_verl_does(core_algos):
    rewards, mask, uids = batch_of_groups(rng(26), torch.float64)
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
    rewards = randn(g, dtype, rows, steps) * mask
    logp = -torch.rand(rows, steps, generator=g, dtype=dtype) * 3
    pi_squared = torch.rand(rows, steps, generator=g, dtype=dtype) * 0.5
    return rewards, mask, uids, logp, pi_squared, torch.rand(rows, steps, generator=g, dtype=dtype) + 0.5


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("name", ["compute_optimal_token_baseline_advantage",
                                  "compute_multi_turn_optimal_token_baseline_advantage"])
@pytest.mark.parametrize("extra", [{}, {"handle_zero_tail": False}, {"weighted": True}])
def test_verl_optimal_token_baselines(core_algos, dtype, name, extra):
    *args, weights = token_baseline_batch(rng(27), dtype)
    extra = dict(extra)
    if extra.pop("weighted", False):
        extra["rollout_is_weights"] = weights
    # float64: the returns in verl's order, the group sums row by row as verl's sums over a group: bit for bit.
    agree(*verl_pair(core_algos, name, *args, **extra), dtype)


def test_verl_registers_every_estimator(core_algos):
    names = verl.register()
    theirs = {e.value for e in core_algos.AdvantageEstimator} - {"gae"}
    assert {name.removeprefix("quorvale_") for name in names} >= theirs
    for name, function in names.items():
        assert core_algos.get_adv_estimator_fn(name) is function
