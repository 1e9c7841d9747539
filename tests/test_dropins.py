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


def exact(ours, theirs):
    assert ours.dtype == theirs.dtype and ours.shape == theirs.shape
    assert torch.equal(ours, theirs), (ours - theirs).abs().max()


def close(ours, theirs, tolerance):
    assert ours.dtype == theirs.dtype and ours.shape == theirs.shape
    torch.testing.assert_close(ours, theirs, equal_nan=True, **tolerance)


def rng(seed):
    return torch.Generator().manual_seed(seed)


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

@pytest.mark.parametrize("dtype", [torch.float64, torch.float32])
@pytest.mark.parametrize("gaps", [True, False])
def test_verl_gae(dtype, gaps):
    core_algos = peer("verl.trainer.ppo.core_algos", "--no-deps verl==0.9.1")
    g = rng(1)
    rewards, values = torch.randn(9, 40, generator=g, dtype=dtype), torch.randn(9, 40, generator=g, dtype=dtype)
    mask = skip_mask(g, 9, 40)
    if not gaps:  # right padding only: nothing to carry through skipped steps
        mask = (torch.arange(40) < torch.randint(2, 41, (9, 1), generator=g)).to(torch.int64)
    ours = verl.compute_gae_advantage_return(rewards, values, mask, 0.99, 0.95)
    theirs = core_algos.compute_gae_advantage_return(rewards, values, mask, 0.99, 0.95)
    # float64: returns bit for bit; whitened advantages within the sums' order (ours fixed, torch's vectorised)
    exact(ours[1], theirs[1]) if dtype == torch.float64 else close(ours[1], theirs[1], F32)
    close(ours[0], theirs[0], F64_ORDER if dtype == torch.float64 else F32)


def test_verl_gae_needs_two_tokens_as_verl_does():
    peer("verl.trainer.ppo.core_algos", "--no-deps verl==0.9.1")
    mask = torch.zeros(2, 5, dtype=torch.int64)
    mask[1, 2] = 1
    with pytest.raises(ValueError, match="The sum of the mask is one"):
        verl.compute_gae_advantage_return(torch.ones(2, 5), torch.ones(2, 5), mask, 1.0, 1.0)


def grpo_batch(g, dtype):
    """uids in any order; groups of 1 to 6; all-equal groups of 0/1 rewards; rows of padding."""
    sizes = [1, 2, 3, 4, 5, 6, 4, 1, 3]
    uids = np.array([f"uid-{k}" for k, n in enumerate(sizes) for _ in range(n)], dtype=object)
    uids = uids[torch.randperm(len(uids), generator=g).numpy()]
    rewards = torch.zeros(len(uids), 7, dtype=dtype)
    rewards[:, -1] = torch.randn(len(uids), generator=g, dtype=dtype)
    for equal_uid, value in (("uid-3", 1.0), ("uid-6", 0.0)):
        rewards[uids == equal_uid, -1] = value
    mask = (torch.arange(7) < torch.randint(1, 8, (len(uids), 1), generator=g)).to(torch.int64)
    return rewards, mask, uids


@pytest.mark.parametrize("dtype", [torch.float64, torch.float32])
@pytest.mark.parametrize("name, extra", [
    ("compute_grpo_outcome_advantage", {}),
    ("compute_grpo_outcome_advantage", {"norm_adv_by_std_in_grpo": False}),
    ("compute_grpo_outcome_advantage", {"epsilon": 0.5}),
    ("compute_grpo_vectorized_outcome_advantage", {}),
    ("compute_rloo_outcome_advantage", {}),
    ("compute_reinforce_plus_plus_baseline_outcome_advantage", {}),
])
def test_verl_outcome_estimators(dtype, name, extra):
    core_algos = peer("verl.trainer.ppo.core_algos", "--no-deps verl==0.9.1")
    rewards, mask, uids = grpo_batch(rng(2), dtype)
    ours = getattr(verl, name)(rewards, mask, uids, **extra)
    theirs = getattr(core_algos, name)(rewards.clone(), mask, uids, **extra)
    # Same formulas; verl's means and stds are torch reductions (vectorised order; the vectorised GRPO rounds its
    # statistics to float32; RLOO scales by n / (n - 1) where ours subtracts the others' mean): within precision.
    tolerance = F32 if dtype == torch.float32 or "vectorized" in name else F64_ORDER
    close(ours[0], theirs[0], tolerance)
    assert ours[0] is ours[1]


@pytest.mark.parametrize("mask_dtype", [torch.bool, torch.int32, torch.float32, torch.float64])
def test_verl_mask_dtypes(mask_dtype):
    # Bool and integer 0/1 masks take the per-row whitening and NumPy's mask products, float masks torch's products
    # and the per-token whitening: both within precision of verl, whose products promote the mask.
    core_algos = peer("verl.trainer.ppo.core_algos", "--no-deps verl==0.9.1")
    from verl.trainer.config import AlgoConfig
    rewards, mask, uids = grpo_batch(rng(14), torch.float64)
    mask = mask.to(mask_dtype)
    for name in ("compute_grpo_outcome_advantage", "compute_reinforce_plus_plus_baseline_outcome_advantage"):
        ours, theirs = getattr(verl, name)(rewards, mask, uids)[0], getattr(core_algos, name)(rewards.clone(), mask, uids)[0]
        close(ours, theirs, F64_ORDER)
    if mask_dtype == torch.bool:
        return  # verl's REINFORCE++ computes 1 - mask, which torch refuses for bool
    config = AlgoConfig(gamma=0.97)
    ours = verl.compute_reinforce_plus_plus_outcome_advantage(rewards, mask, config)
    theirs = core_algos.compute_reinforce_plus_plus_outcome_advantage(rewards, mask, config)
    close(ours[0], theirs[0], F64_ORDER)  # whitened: within the sums' order
    exact(ours[1], theirs[1])


def test_verl_outcome_empty_batch():
    core_algos = peer("verl.trainer.ppo.core_algos", "--no-deps verl==0.9.1")
    empty, mask = torch.zeros(0, 4), torch.zeros(0, 4)
    exact(verl.compute_grpo_outcome_advantage(empty, mask, np.array([]))[0],
          core_algos.compute_grpo_outcome_advantage(empty, mask, np.array([]))[0])


@pytest.mark.parametrize("dtype", [torch.float64, torch.float32])
def test_verl_reinforce_plus_plus(dtype):
    core_algos = peer("verl.trainer.ppo.core_algos", "--no-deps verl==0.9.1")
    from verl.trainer.config import AlgoConfig
    g = rng(3)
    rewards, mask = torch.randn(8, 30, generator=g, dtype=dtype), skip_mask(g, 8, 30)
    config = AlgoConfig(gamma=0.97)
    ours = verl.compute_reinforce_plus_plus_outcome_advantage(rewards, mask, config)
    theirs = core_algos.compute_reinforce_plus_plus_outcome_advantage(rewards, mask, config)
    # float64: returns r + gamma * running in the same order, bit for bit; whitening within the sums' order
    exact(ours[1], theirs[1]) if dtype == torch.float64 else close(ours[1], theirs[1], F32)
    close(ours[0], theirs[0], F64_ORDER if dtype == torch.float64 else F32)


@pytest.mark.parametrize("name", ["kl", "k1", "abs", "mse", "k2", "low_var_kl", "k3", "k3+", "k1+", "k2+"])
def test_verl_kl_penalty(name):
    core_algos = peer("verl.trainer.ppo.core_algos", "--no-deps verl==0.9.1")
    g = rng(4)
    logprob = (torch.randn(4, 9, generator=g) * 8).requires_grad_()
    ref = torch.randn(4, 9, generator=g) * 8
    ours, theirs = verl.kl_penalty(logprob, ref, name), core_algos.kl_penalty(logprob, ref, name)
    exact(ours.detach(), theirs.detach())
    (grad_ours,), (grad_theirs,) = torch.autograd.grad(ours.sum(), logprob), torch.autograd.grad(theirs.sum(), logprob)
    exact(grad_ours, grad_theirs)
    mask = torch.randint(0, 2, (4, 9), generator=g)
    from verl.utils.torch_functional import masked_mean
    exact(verl.masked_mean(ours.detach(), mask, axis=-1), masked_mean(theirs.detach(), mask, axis=-1))


def test_verl_registry():
    core_algos = peer("verl.trainer.ppo.core_algos", "--no-deps verl==0.9.1")
    from verl.trainer.config import AlgoConfig
    names = verl.register()
    assert set(names) >= {"quorvale_grpo", "quorvale_grpo_vectorized", "quorvale_rloo", "quorvale_reinforce_plus_plus",
                          "quorvale_reinforce_plus_plus_baseline"}
    assert verl.register() == names  # registering twice is harmless
    rewards, mask, uids = grpo_batch(rng(5), torch.float32)
    config = AlgoConfig(norm_adv_by_std_in_grpo=False)
    selected = core_algos.get_adv_estimator_fn("quorvale_grpo")
    ours, _ = selected(token_level_rewards=rewards, response_mask=mask, config=config, index=uids)
    exact(ours, verl.compute_grpo_outcome_advantage(rewards, mask, uids, norm_adv_by_std_in_grpo=False)[0])


# ---------------------------------------------------------------- TRL

def trl_rewards(g, dtype, groups, size):
    rewards = torch.randn(groups * size, generator=g, dtype=dtype)
    rewards[:size] = 1.0  # an all-equal group
    if groups > 2:
        rewards[size:2 * size - 1] = float("nan")  # a group with one scorable completion
        rewards[2 * size + 1] = float("nan")  # an unscorable completion
    return rewards


@pytest.mark.parametrize("dtype", [torch.float64, torch.float32])
@pytest.mark.parametrize("size", [1, 2, 8])
@pytest.mark.parametrize("scale", ["group", "batch", "none"])
def test_trl_grpo(dtype, size, scale):
    peer("trl.trainer.utils", "trl")
    rewards = trl_rewards(rng(6), dtype, 5, size)
    # TRL's nanmean/nanstd are torch reductions (vectorised order); its Bessel factor is float32: within precision.
    close(trl.grpo_advantages(rewards, size, scale), trl_grpo(rewards, size, scale),
          F32 if dtype == torch.float32 else TRL_STD if scale != "none" else F64_ORDER)


@pytest.mark.parametrize("dtype", [torch.float64, torch.float32])
@pytest.mark.parametrize("size", [1, 2, 8])
@pytest.mark.parametrize("normalize", [False, True])
def test_trl_rloo(dtype, size, normalize):
    peer("trl.trainer.utils", "trl")
    rewards = trl_rewards(rng(7), dtype, 5, size)
    # TRL's baseline is (sum - r) / (n - 1) from a torch nansum: within precision.
    close(trl.rloo_advantages(rewards, size, normalize), trl_rloo(rewards, size, normalize),
          F32 if dtype == torch.float32 else TRL_STD if normalize else F64_ORDER)


def test_trl_rejects_unknown_scale_as_trl_does():
    with pytest.raises(ValueError, match="Invalid value for scale_rewards: Group"):
        trl.grpo_advantages(torch.ones(4), 2, "Group")


# ---------------------------------------------------------------- OpenRLHF

@pytest.mark.parametrize("dtype", [torch.float64, torch.float32])
def test_openrlhf_gae_and_returns(dtype):
    maker = openrlhf_experience_maker()
    g = rng(8)
    values, rewards = torch.randn(7, 33, generator=g, dtype=dtype), torch.randn(7, 33, generator=g, dtype=dtype)
    mask = skip_mask(g, 7, 33).bool()
    ours = openrlhf.get_advantages_and_returns(values, rewards, mask, 0.99, 0.9)
    theirs = maker.get_advantages_and_returns(None, values, rewards, mask, 0.99, 0.9)
    for a, b in zip(ours, theirs):  # float64: the same roundings in the same order
        exact(a, b) if dtype == torch.float64 else close(a, b, F32)
    ours = openrlhf.get_cumulative_returns(rewards, mask, 0.9)
    theirs = maker.get_cumulative_returns(None, rewards, mask, 0.9)
    exact(ours, theirs) if dtype == torch.float64 else close(ours, theirs, F32)


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
    for a, b in ((ours.advantages, theirs.advantages), (ours.returns, theirs.returns)):
        assert a.dtype == b.dtype == dtype
        if dtype == np.float64:  # SB3's float32 buffers widened: the same roundings in the same order
            np.testing.assert_array_equal(a, b)
        else:
            np.testing.assert_allclose(a, b, **F32)


# ---------------------------------------------------------------- CleanRL

@pytest.mark.parametrize("dtype", [torch.float64, torch.float32])
@pytest.mark.parametrize("next_done", [0.0, 1.0])
def test_cleanrl_gae_block(dtype, next_done):
    g = rng(11)
    rewards, values = torch.randn(40, 4, generator=g, dtype=dtype), torch.randn(40, 4, generator=g, dtype=dtype)
    dones = (torch.rand(40, 4, generator=g) < 0.15).to(dtype)
    next_value = torch.randn(1, 4, generator=g, dtype=dtype)
    done = torch.full((4,), next_done, dtype=dtype)
    ours = cleanrl.compute_advantages(rewards, values, dones, next_value, done, 0.99, 0.95)
    theirs = cleanrl_gae(rewards, values, dones, next_value, done, 0.99, 0.95)
    for a, b in zip(ours, theirs):  # float64: the same roundings in the same order
        exact(a, b) if dtype == torch.float64 else close(a, b, F32)
    out = (torch.empty(40, 4, dtype=dtype), torch.empty(40, 4, dtype=dtype))
    filled = cleanrl.compute_advantages(rewards, values, dones, next_value, done, 0.99, 0.95, out=out)
    assert filled[0] is out[0] and filled[1] is out[1] and torch.equal(out[0], ours[0])


# ---------------------------------------------------------------- torchrl

def torchrl_batch(g, dtype, shape, time_dim):
    tensors = [torch.randn(*shape, generator=g, dtype=dtype) for _ in range(3)]
    done = torch.rand(*shape, generator=g) < 0.2
    terminated = done & (torch.rand(*shape, generator=g) < 0.5)
    return tensors, done, terminated


@pytest.mark.parametrize("dtype", [torch.float64, torch.float32])
@pytest.mark.parametrize("shape, time_dim", [((5, 40, 1), -2), ((3, 2, 30, 1), -2), ((30, 4, 1), 0), ((4, 30), -1),
                                             ((3, 25, 2), -2)])
@pytest.mark.parametrize("terminated_kind", ["given", "none", "without_done"])
@pytest.mark.parametrize("gamma_kind", ["python", "tensor", "per step", "same per step"])
def test_torchrl_gae(dtype, shape, time_dim, terminated_kind, gamma_kind):
    functional = peer("torchrl.objectives.value.functional", "torchrl tensordict")
    (value, next_value, reward), done, terminated = torchrl_batch(rng(12), dtype, shape, time_dim)
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
    ours = qtorchrl.generalized_advantage_estimate(gamma, lmbda, value, next_value, reward, done, terminated,
                                                   time_dim=time_dim)
    theirs = functional.generalized_advantage_estimate(gamma, lmbda, value, next_value, reward, done, terminated,
                                                       time_dim=time_dim)
    for a, b in zip(ours, theirs):  # float64: torchrl's float32-rounded factors reproduced, same order of roundings
        exact(a, b) if dtype == torch.float64 else close(a, b, F32)


def test_torchrl_shape_mismatch():
    with pytest.raises(RuntimeError, match="must share a unique shape"):
        qtorchrl.generalized_advantage_estimate(0.9, 0.9, torch.ones(2, 3, 1), torch.ones(2, 3, 1), torch.ones(2, 3, 1),
                                                torch.zeros(2, 4, 1, dtype=torch.bool))
