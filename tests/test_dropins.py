# The trainer drop-ins against the trainers' own functions (or marked transcriptions of their inline lines, see
# peers.py), on seeded batches with each trainer's edge cases: bit for bit in float64 where the peer's arithmetic is
# the same sequence of roundings as ours, otherwise within the peer's float precision, the reason given per case.
# float32: the peers round after every operation, the kernels once per result, so float32 always compares within
# float32 precision (and our float32 result is our float64 result rounded once). Skipped, naming the package, when a
# peer is missing; `bash .ci/peers` installs them and runs this file.
import numpy as np
import pytest

from peers import cleanrl_gae, openrlhf_experience_maker, openrlhf_shape, peer, trl_grpo, trl_rloo
from processes import run_ok

torch = pytest.importorskip("torch")
from quorvale_rl_core_torch import cleanrl, openrlhf, sb3, trl, verl  # noqa: E402
from quorvale_rl_core_torch import torchrl as qtorchrl  # noqa: E402

F32 = dict(rtol=2e-5, atol=2e-5)  # float32 recursions over at most 40 steps, rounded per operation by the peer
F64_ORDER = dict(rtol=1e-12, atol=1e-12)  # same formula, the peer's torch reductions summing in a vectorised order
TRL_STD = dict(rtol=1e-7, atol=1e-7)  # TRL's nanstd forms count / (count - 1) from int tensors: a float32 factor
DTYPES = [torch.float64, torch.float32]


def exact(ours, theirs):
    assert ours.dtype == theirs.dtype and ours.shape == theirs.shape
    assert torch.equal(ours, theirs), (ours - theirs).abs().max()


def close(ours, theirs, tolerance):
    assert ours.dtype == theirs.dtype and ours.shape == theirs.shape
    torch.testing.assert_close(ours, theirs, equal_nan=True, **tolerance)


def agree(ours, theirs, dtype, float64=(None,)):
    """Result by result: in float64 bit for bit (None) or within the tolerance given for it (the last one given
    serves the rest), in float32 within float32 precision."""
    ours, theirs = (ours, theirs) if isinstance(ours, (tuple, list)) else ((ours,), (theirs,))
    assert len(ours) == len(theirs)
    for k, (a, b) in enumerate(zip(ours, theirs)):
        tolerance = float64[min(k, len(float64) - 1)] if dtype == torch.float64 else F32
        exact(a, b) if tolerance is None else close(a, b, tolerance)


def rng(seed):
    return torch.Generator().manual_seed(seed)


def randn(g, dtype, *shape):
    return torch.randn(*shape, generator=g, dtype=dtype)


def right_padded(g, rows, steps, shortest=1):
    return (torch.arange(steps) < torch.randint(shortest, steps + 1, (rows, 1), generator=g)).to(torch.int64)


def skip_mask(g, rows, steps):
    """Response masks with tool-observation spans (interior zeros), right padding, and a row with one kept token."""
    mask = torch.ones(rows, steps, dtype=torch.int64)
    for b in range(rows):
        length = int(torch.randint(1, steps + 1, (1,), generator=g))
        mask[b, length:] = 0
        start = int(torch.randint(0, steps, (1,), generator=g))
        mask[b, start:start + int(torch.randint(0, 6, (1,), generator=g))] = 0
    mask[0] = 0
    mask[0, 3] = 1
    mask[1] = 1
    return mask


def test_no_trainer_imported_with_the_drop_ins():
    out = run_ok("""
    import sys
    import quorvale_rl_core_torch
    from quorvale_rl_core_torch import verl, trl, openrlhf, sb3, cleanrl, torchrl
    print(sorted(m for m in ("verl", "trl", "openrlhf", "ray", "stable_baselines3", "torchrl", "tensordict", "transformers") if m in sys.modules))
    """)
    assert out == "[]"


# ---------------------------------------------------------------- verl

def verl_pair(core_algos, name, *args, **kwargs):
    """Our drop-in's results and verl's for one call (verl's on clones: some of its estimators write their inputs)."""
    clones = [a.clone() if isinstance(a, torch.Tensor) else a for a in args]
    return getattr(verl, name)(*args, **kwargs), getattr(core_algos, name)(*clones, **kwargs)


def batch_of_groups(g, dtype, sizes=(1, 2, 3, 4, 5, 6, 4, 1, 3), equal=(("uid-3", 1.0), ("uid-6", 0.0))):
    """uids in any order; groups of the sizes given; all-equal groups of 0/1 rewards; rows of padding."""
    uids = np.array([f"uid-{k}" for k, n in enumerate(sizes) for _ in range(n)], dtype=object)
    uids = uids[torch.randperm(len(uids), generator=g).numpy()]
    rewards = torch.zeros(len(uids), 7, dtype=dtype)
    rewards[:, -1] = torch.randn(len(uids), generator=g, dtype=dtype)
    for equal_uid, value in equal:
        rewards[uids == equal_uid, -1] = value
    return rewards, right_padded(g, len(uids), 7), uids


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("name, mask_kind, mask_dtype", [
    ("compute_gae_advantage_return", "gaps", torch.int64),
    ("compute_gae_advantage_return", "right", torch.int64),  # right padding only: nothing to carry through gaps
    # None: a mask of the rewards' dtype (verl's products promote a wider one, and so its results)
    *[("compute_reinforce_plus_plus_outcome_advantage", "gaps", m) for m in (torch.int64, torch.int32, torch.float32, None)],
])
def test_verl_token_recursions(core_algos, dtype, name, mask_kind, mask_dtype):
    from verl.trainer.config import AlgoConfig
    g = rng(1)
    rewards, values = randn(g, dtype, 9, 40), randn(g, dtype, 9, 40)
    mask = (skip_mask(g, 9, 40) if mask_kind == "gaps" else right_padded(g, 9, 40, 2)).to(mask_dtype or dtype)
    args = (values, mask, 0.99, 0.95) if "gae" in name else (mask, AlgoConfig(gamma=0.97))
    # float64: returns r + gamma * running in the same order, bit for bit; the whitened advantages within the
    # sums' order (ours fixed, torch's vectorised). verl's REINFORCE++ computes 1 - mask, which torch refuses for bool.
    agree(*verl_pair(core_algos, name, rewards, *args), dtype, (F64_ORDER, None))


def test_verl_gae_needs_two_tokens_as_verl_does(core_algos):
    mask = torch.zeros(2, 5, dtype=torch.int64)
    mask[1, 2] = 1
    with pytest.raises(ValueError, match="The sum of the mask is one"):
        verl.compute_gae_advantage_return(torch.ones(2, 5), torch.ones(2, 5), mask, 1.0, 1.0)


def check_outcome(core_algos, name, batch, extra, dtype, seed, mask_dtype=torch.int64):
    rewards, mask, uids = batch(rng(seed), dtype)
    ours, theirs = verl_pair(core_algos, name, rewards, mask.to(mask_dtype), uids, **extra)
    # verl's group statistics are torch reductions (a vectorised order; its vectorised GRPO rounds them to
    # float32): within precision. Like verl, one tensor for both results.
    agree(ours, theirs, dtype, (F32 if name == "compute_grpo_vectorized_outcome_advantage" else F64_ORDER,))
    assert ours[0] is ours[1]


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("name, extra, mask_dtype", [
    ("compute_grpo_outcome_advantage", {}, torch.int64),
    ("compute_grpo_outcome_advantage", {"norm_adv_by_std_in_grpo": False}, torch.int64),
    ("compute_grpo_outcome_advantage", {"epsilon": 0.5}, torch.int64),
    ("compute_grpo_vectorized_outcome_advantage", {}, torch.int64),
    ("compute_rloo_outcome_advantage", {}, torch.int64),  # scales by n / (n - 1) where ours subtracts the others' mean
    # Bool and integer 0/1 masks take the per-row whitening and NumPy's mask products, float masks torch's products
    # and the per-token whitening: both within precision of verl, whose products promote the mask.
    *[(name, {}, m) for name in ("compute_grpo_outcome_advantage", "compute_reinforce_plus_plus_baseline_outcome_advantage")
      for m in (torch.int64, torch.bool, torch.int32, torch.float32, torch.float64)],
])
def test_verl_outcome_estimators(core_algos, dtype, name, extra, mask_dtype):
    check_outcome(core_algos, name, batch_of_groups, extra, dtype, 2, mask_dtype)


def test_verl_outcome_empty_batch(core_algos):
    empty, mask = torch.zeros(0, 4), torch.zeros(0, 4)
    ours, theirs = verl_pair(core_algos, "compute_grpo_outcome_advantage", empty, mask, np.array([]))
    exact(ours[0], theirs[0])


@pytest.mark.parametrize("name", ["kl", "k1", "abs", "mse", "k2", "low_var_kl", "k3", "k3+", "k1+", "k2+"])
def test_verl_kl_penalty(core_algos, name):
    from verl.utils.torch_functional import masked_mean
    g = rng(4)
    logprob = (torch.randn(4, 9, generator=g) * 8).requires_grad_()
    ref = torch.randn(4, 9, generator=g) * 8
    ours, theirs = verl.kl_penalty(logprob, ref, name), core_algos.kl_penalty(logprob, ref, name)
    exact(ours.detach(), theirs.detach())
    exact(*(torch.autograd.grad(result.sum(), logprob)[0] for result in (ours, theirs)))
    mask = torch.randint(0, 2, (4, 9), generator=g)
    exact(verl.masked_mean(ours.detach(), mask, axis=-1), masked_mean(theirs.detach(), mask, axis=-1))


def test_verl_registry(core_algos):
    from verl.trainer.config import AlgoConfig
    names = verl.register()
    assert set(names) >= {"quorvale_grpo", "quorvale_grpo_vectorized", "quorvale_rloo", "quorvale_reinforce_plus_plus",
                          "quorvale_reinforce_plus_plus_baseline"}
    assert verl.register() == names  # registering twice is harmless
    rewards, mask, uids = batch_of_groups(rng(5), torch.float32)
    selected = core_algos.get_adv_estimator_fn("quorvale_grpo")
    ours, _ = selected(token_level_rewards=rewards, response_mask=mask, config=AlgoConfig(norm_adv_by_std_in_grpo=False),
                       index=uids)
    exact(ours, verl.compute_grpo_outcome_advantage(rewards, mask, uids, norm_adv_by_std_in_grpo=False)[0])


# ---------------------------------------------------------------- TRL

def trl_rewards(g, dtype, groups, size):
    rewards = torch.randn(groups * size, generator=g, dtype=dtype)
    rewards[:size] = 1.0  # an all-equal group
    if groups > 2:
        rewards[size:2 * size - 1] = float("nan")  # a group with one scorable completion
        rewards[2 * size + 1] = float("nan")  # an unscorable completion
    return rewards


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("size", [1, 2, 8])
@pytest.mark.parametrize("ours, theirs, option, standardised", [
    *[(trl.grpo_advantages, trl_grpo, scale, scale != "none") for scale in ("group", "batch", "none")],
    *[(trl.rloo_advantages, trl_rloo, normalize, normalize) for normalize in (False, True)],
])
def test_trl_advantages(dtype, size, ours, theirs, option, standardised):
    peer("trl.trainer.utils", "trl")
    rewards = trl_rewards(rng(6), dtype, 5, size)
    # TRL's nanmean/nanstd are torch reductions (vectorised order), its Bessel factor is float32, its RLOO baseline
    # (sum - r) / (n - 1) from a torch nansum: within precision.
    agree(ours(rewards, size, option), theirs(rewards, size, option), dtype, (TRL_STD if standardised else F64_ORDER,))


def test_trl_rejects_unknown_scale_as_trl_does():
    with pytest.raises(ValueError, match="Invalid value for scale_rewards: Group"):
        trl.grpo_advantages(torch.ones(4), 2, "Group")


# ---------------------------------------------------------------- OpenRLHF

@pytest.mark.parametrize("dtype", DTYPES)
def test_openrlhf_gae_and_returns(dtype):
    maker = openrlhf_experience_maker()
    g = rng(8)
    values, rewards, mask = randn(g, dtype, 7, 33), randn(g, dtype, 7, 33), skip_mask(g, 7, 33).bool()
    # float64: the same roundings in the same order
    agree(openrlhf.get_advantages_and_returns(values, rewards, mask, 0.99, 0.9),
          maker.get_advantages_and_returns(None, values, rewards, mask, 0.99, 0.9), dtype)
    agree(openrlhf.get_cumulative_returns(rewards, mask, 0.9), maker.get_cumulative_returns(None, rewards, mask, 0.9), dtype)


@pytest.mark.parametrize("estimator", ["rloo", "reinforce_baseline", "dr_grpo", "group_norm", "flash_reinforce", "gae"])
@pytest.mark.parametrize("n", [1, 2, 8])
def test_openrlhf_shape_rewards(estimator, n):
    rewards = torch.randn(6 * n, generator=rng(9), dtype=torch.float64)
    rewards[:n] = 1.0  # an all-equal group: 0.0 from both (exact rewards, exact means)
    # Torch's mean and std reduce in a vectorised order: within precision; n = 1 gives OpenRLHF's NaN.
    close(openrlhf.shape_rewards(rewards, n, estimator), openrlhf_shape(rewards, n, estimator), F64_ORDER)


# ---------------------------------------------------------------- Stable-Baselines3

def sb3_buffer(steps, envs, seed, dtype=np.float32):
    buffers = peer("stable_baselines3.common.buffers", "stable-baselines3")
    from gymnasium import spaces
    buffer = buffers.RolloutBuffer(steps, spaces.Box(-1, 1, (3,)), spaces.Discrete(2), device="cpu", gamma=0.98,
                                   gae_lambda=0.9, n_envs=envs)
    r = np.random.default_rng(seed)
    buffer.rewards = r.normal(size=(steps, envs)).astype(dtype)
    buffer.values = r.normal(size=(steps, envs)).astype(dtype)
    buffer.episode_starts = (r.random((steps, envs)) < 0.15).astype(dtype)
    buffer.advantages = np.zeros((steps, envs), dtype)
    buffer.returns = np.zeros((steps, envs), dtype)
    return buffer, torch.from_numpy(r.normal(size=(envs, 1)).astype(dtype)), r.random(envs) < 0.5


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("steps, envs", [(40, 6), (5, 5), (1, 3)])
def test_sb3_compute_returns_and_advantage(dtype, steps, envs):
    ours, last_values, dones = sb3_buffer(steps, envs, 10, dtype)
    theirs, _, _ = sb3_buffer(steps, envs, 10, dtype)
    advantages, returns = ours.advantages, ours.returns
    sb3.compute_returns_and_advantage(ours, last_values, dones)
    theirs.compute_returns_and_advantage(last_values, dones)
    assert ours.advantages is advantages and ours.returns is returns  # filled in place
    assert ours.advantages.dtype == dtype
    results = [tuple(torch.from_numpy(array) for array in (buffer.advantages, buffer.returns)) for buffer in (ours, theirs)]
    agree(*results, results[0][0].dtype)  # float64: SB3's float32 buffers widened, the same roundings in the same order


# ---------------------------------------------------------------- CleanRL

@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("next_done", [0.0, 1.0])
def test_cleanrl_gae_block(dtype, next_done):
    g = rng(11)
    rewards, values, dones = randn(g, dtype, 40, 4), randn(g, dtype, 40, 4), (torch.rand(40, 4, generator=g) < 0.15).to(dtype)
    args = (rewards, values, dones, randn(g, dtype, 1, 4), torch.full((4,), next_done, dtype=dtype), 0.99, 0.95)
    ours = cleanrl.compute_advantages(*args)
    agree(ours, cleanrl_gae(*args), dtype)  # float64: the same roundings in the same order
    out = (torch.empty(40, 4, dtype=dtype), torch.empty(40, 4, dtype=dtype))
    filled = cleanrl.compute_advantages(*args, out=out)
    assert filled[0] is out[0] and filled[1] is out[1] and torch.equal(out[0], ours[0])


# ---------------------------------------------------------------- torchrl

@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("shape, time_dim", [((5, 40, 1), -2), ((3, 2, 30, 1), -2), ((30, 4, 1), 0), ((4, 30), -1),
                                             ((3, 25, 2), -2)])
@pytest.mark.parametrize("terminated_kind", ["given", "none", "without_done"])
@pytest.mark.parametrize("gamma_kind", ["python", "tensor", "per step", "same per step"])
def test_torchrl_gae(dtype, shape, time_dim, terminated_kind, gamma_kind):
    functional = peer("torchrl.objectives.value.functional", "torchrl tensordict")
    g = rng(12)
    value, next_value, reward = (randn(g, dtype, *shape) for _ in range(3))
    done = torch.rand(*shape, generator=g) < 0.2
    terminated = done & (torch.rand(*shape, generator=g) < 0.5)
    if terminated_kind == "none":
        terminated = None
    elif terminated_kind == "without_done":
        terminated = torch.rand(*shape, generator=rng(13)) < 0.2  # terminated steps that are not done
    gamma, lmbda = 0.99, 0.95
    if gamma_kind == "tensor":
        gamma, lmbda = torch.tensor(0.99, dtype=dtype), torch.tensor(0.95, dtype=dtype)
    elif gamma_kind == "per step":  # one factor per step, in the data's layout (torchrl's module: steps_to_next_obs)
        gamma = 0.99 ** torch.randint(1, 4, shape, generator=rng(14)).to(dtype)
        lmbda = 0.95 - 0.1 * torch.rand(*shape, generator=rng(15), dtype=dtype)
    elif gamma_kind == "same per step":  # per-step tensors equal at every step: the kernel's path
        gamma, lmbda = torch.full(shape, 0.99, dtype=dtype), torch.full(shape, 0.95, dtype=dtype)
    args = (gamma, lmbda, value, next_value, reward, done, terminated)
    # float64: torchrl's float32-rounded factors reproduced, the same order of roundings
    agree(qtorchrl.generalized_advantage_estimate(*args, time_dim=time_dim),
          functional.generalized_advantage_estimate(*args, time_dim=time_dim), dtype)


def test_torchrl_shape_mismatch():
    with pytest.raises(RuntimeError, match="must share a unique shape"):
        qtorchrl.generalized_advantage_estimate(0.9, 0.9, torch.ones(2, 3, 1), torch.ones(2, 3, 1), torch.ones(2, 3, 1),
                                                torch.zeros(2, 4, 1, dtype=torch.bool))
