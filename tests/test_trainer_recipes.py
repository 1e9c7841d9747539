# The recipes of docs/trainers.md run inside the trainers' own objects and processes: verl's compute_advantage in a
# Ray actor started by verl's own run_ppo, TRL's two trainers training a tiny model, torchrl's GAE value-estimator
# module. Each compares what the trainer computed with our drop-in in place against the trainer's own, under the
# agreement rules of test_dropins.py. Skipped, naming the package, when a trainer is missing; `bash .ci/peers` installs
# them and runs this file.
import os
import tempfile

import pytest

from peers import peer
from processes import run_ok

torch = pytest.importorskip("torch")
from test_dropins import F32, F64_ORDER, agree, close  # noqa: E402


# ---------------------------------------------------------------- TRL

def tiny_model_and_tokenizer():
    """A 2-layer Qwen2 of hidden size 32, randomly initialised and saved to a temporary directory (the trainers load
    their reference model from the policy's path), and a word-level tokenizer: nothing downloaded."""
    from tokenizers import Tokenizer, models, pre_tokenizers
    from transformers import PreTrainedTokenizerFast, Qwen2Config, Qwen2ForCausalLM
    words = ["<pad>", "<eos>"] + [f"w{i}" for i in range(30)]
    model = Tokenizer(models.WordLevel({w: i for i, w in enumerate(words)}, unk_token="w0"))
    model.pre_tokenizer = pre_tokenizers.WhitespaceSplit()
    tokenizer = PreTrainedTokenizerFast(tokenizer_object=model, pad_token="<pad>", eos_token="<eos>")
    torch.manual_seed(0)
    config = Qwen2Config(vocab_size=len(words), hidden_size=32, intermediate_size=64, num_hidden_layers=2,
                         num_attention_heads=2, num_key_value_heads=1, max_position_embeddings=64, pad_token_id=0,
                         eos_token_id=1, bos_token_id=None)
    path = tempfile.mkdtemp()
    Qwen2ForCausalLM(config).save_pretrained(path)
    return path, tokenizer


def completion_reward(completions, **kwargs):
    """Unequal rewards within groups, some equal groups, and unscorable completions (None): TRL's NaN path."""
    return [None if c.startswith("w3") else float(len(c.split())) + 3.0 * c.count("w5") for c in completions]


@pytest.mark.parametrize("trainer, options", [
    ("GRPOTrainer", dict(scale_rewards="group")),
    ("GRPOTrainer", dict(scale_rewards="batch")),
    ("GRPOTrainer", dict(scale_rewards="none")),
    ("RLOOTrainer", dict(normalize_advantages=False)),  # beta 0.05: rewards minus the KL to the reference model
    ("RLOOTrainer", dict(normalize_advantages=True, beta=0.0, reward_clip_range=(0.0, 5.0))),
])
def test_trl_trainer_train_and_eval(trainer, options):
    trl = peer("trl", "trl==1.16.0")
    from datasets import Dataset

    from quorvale_rl_core_torch import trl as quorvale_trl
    seen = []

    class Recorded(getattr(quorvale_trl, trainer)):  # the recipe's trainer, watched
        def _generate_and_score_completions(self, inputs):
            output = super()._generate_and_score_completions(inputs)
            size = len(output["advantages"])  # TRL logs its own advantages, the drop-in's go to the loss
            seen.append((self.model.training, output["advantages"], torch.tensor(list(self._logs["advantages"])[-size:])))
            return output

    config_class = getattr(trl, trainer.replace("Trainer", "Config"))
    args = config_class(output_dir=tempfile.mkdtemp(), per_device_train_batch_size=8, num_generations=4,
                        num_generations_eval=2, per_device_eval_batch_size=4, max_completion_length=6, max_steps=3,
                        report_to="none", use_cpu=True, logging_steps=1, save_strategy="no", seed=0, **options)
    prompts = Dataset.from_dict({"prompt": [f"w{i} w{i + 1} w{i + 2}" for i in range(12)]})
    model, tokenizer = tiny_model_and_tokenizer()
    recorded = Recorded(model=model, reward_funcs=completion_reward, args=args, train_dataset=prompts,
                        eval_dataset=prompts.select(range(4)), processing_class=tokenizer)
    recorded.train()
    recorded.evaluate()
    logged = [set(entry) for entry in recorded.state.log_history]  # TRL's metrics, from its own lines, kept
    assert sum("frac_reward_zero_std" in keys for keys in logged) == 3 and "eval_frac_reward_zero_std" in logged[-1]
    assert [(training, len(ours)) for training, ours, _ in seen] == [(True, 8)] * 3 + [(False, 4)] * 2
    for _, ours, theirs in seen:  # float32 rewards: within float32 precision
        close(ours, theirs, F32)
    assert any(bool((ours != 0).any()) for _, ours, _ in seen)


def test_trl_refuses_other_aggregation():
    trl = peer("trl", "trl==1.16.0")
    from datasets import Dataset

    from quorvale_rl_core_torch import trl as quorvale_trl
    model, tokenizer = tiny_model_and_tokenizer()
    args = trl.GRPOConfig(output_dir=tempfile.mkdtemp(), per_device_train_batch_size=4, num_generations=4,
                          report_to="none", use_cpu=True, multi_objective_aggregation="normalize_then_sum")
    with pytest.raises(ValueError, match="sum_then_normalize"):
        quorvale_trl.GRPOTrainer(model=model, reward_funcs=completion_reward, args=args, processing_class=tokenizer,
                                 train_dataset=Dataset.from_dict({"prompt": ["w1 w2"] * 4}))


# ---------------------------------------------------------------- verl under Ray

# What the driver runs: verl's config with the recipe's one override, verl's run_ppo, which starts Ray and the task
# runner actor; the runner here is a probe that calls verl's compute_advantage as verl's fit loop does and saves what
# it got. The driver itself never imports the drop-ins.
VERL_DRIVER = """
import os, sys, torch
from hydra import compose, initialize_config_module
from verl.trainer.main_ppo import run_ppo
import ray

OUT = {out!r}
with initialize_config_module("verl.trainer.config", version_base=None):
    config = compose("ppo_trainer", overrides=[
        "+ray_kwargs.ray_init.runtime_env.worker_process_setup_hook=quorvale_rl_core_torch.verl.install",
        "ray_kwargs.ray_init.num_cpus=2", "+ray_kwargs.ray_init.include_dashboard=False",
        "algorithm.gamma=0.99", "algorithm.lam=0.95"])

@ray.remote
class Probe:
    def run(self, config):
        import numpy as np
        from verl import DataProto
        from verl.trainer.ppo import core_algos
        from verl.trainer.ppo.ray_trainer import compute_advantage
        g = torch.Generator().manual_seed(7)
        rows, steps = 24, 16
        mask = (torch.arange(steps) < torch.randint(2, steps + 1, (rows, 1), generator=g)).to(torch.int64)
        mask[::3, 4:6] = 0  # tool-observation spans: skipped steps inside a response
        rewards = torch.randn(rows, steps, generator=g, dtype=torch.float64) * mask
        inputs = dict(token_level_rewards=rewards, values=torch.randn(rows, steps, generator=g, dtype=torch.float64),
                      response_mask=mask, reward_baselines=torch.randn(rows, generator=g, dtype=torch.float64))
        uids = np.array([f"uid-{{k % 7}}" for k in torch.randperm(rows, generator=g).tolist()], dtype=object)
        results = {{}}
        for name in {names!r}:
            data = DataProto.from_dict(tensors={{k: v.clone() for k, v in inputs.items()}}, non_tensors={{"uid": uids}})
            data = compute_advantage(data, adv_estimator=name, gamma=config.algorithm.gamma, lam=config.algorithm.lam,
                                     num_repeat=1, norm_adv_by_std_in_grpo=True, config=config.algorithm)
            results[name] = (data.batch["advantages"], data.batch["returns"])
        used = {{"gae": core_algos.compute_gae_advantage_return.__module__}}
        used.update({{name: core_algos.get_adv_estimator_fn(name).__module__ for name in {names!r} if name != "gae"}})
        torch.save(dict(pid=os.getpid(), used=used, inputs=inputs, uids=uids, results=results), OUT)

run_ppo(config, task_runner_class=Probe)
ray.shutdown()
print(os.getpid())
"""

VERL_RECIPE = {  # estimator run under the recipe: (verl's own, the agreement of test_dropins.py)
    "gae": ("gae", F64_ORDER),  # whitened in a fixed order, not torch's thread-dependent one
    "quorvale_grpo": ("grpo", F64_ORDER),
    "quorvale_grpo_vectorized": ("grpo_vectorized", F32),  # verl rounds its group statistics to float32
    "quorvale_rloo": ("rloo", F64_ORDER),
    "quorvale_reinforce_plus_plus": ("reinforce_plus_plus", F64_ORDER),
    "quorvale_reinforce_plus_plus_baseline": ("reinforce_plus_plus_baseline", F64_ORDER),
}


def test_verl_recipe_reaches_the_task_runner_actor():
    peer("ray", "ray")
    peer("hydra", "hydra-core")
    peer("verl.trainer.ppo.ray_trainer", "--no-deps verl==0.9.1 (and the no-deps extras in .ci/peers)")
    from omegaconf import OmegaConf
    from verl import DataProto
    from verl.trainer.ppo import core_algos
    from verl.trainer.ppo.ray_trainer import compute_advantage
    out = os.path.join(tempfile.mkdtemp(), "probe.pt")
    driver_pid = int(run_ok(VERL_DRIVER.format(out=out, names=list(VERL_RECIPE)), timeout=300).splitlines()[-1])
    probe = torch.load(out, weights_only=False)
    assert probe["pid"] != driver_pid  # the task runner is an actor in a process of its own
    assert probe["used"] == {name: "quorvale_rl_core_torch.verl" for name in VERL_RECIPE}
    assert core_algos.compute_gae_advantage_return.__module__ == "verl.trainer.ppo.core_algos"  # verl's own, here
    algorithm = OmegaConf.create(dict(gamma=0.99, lam=0.95, norm_adv_by_std_in_grpo=True))
    inputs = {k: v for k, v in probe["inputs"].items() if k != "reward_baselines"}  # verl's vectorised GRPO refuses it
    for name, (theirs_name, tolerance) in VERL_RECIPE.items():
        data = DataProto.from_dict(tensors={k: v.clone() for k, v in inputs.items()}, non_tensors={"uid": probe["uids"]})
        data = compute_advantage(data, adv_estimator=theirs_name, gamma=0.99, lam=0.95, config=algorithm)
        agree(probe["results"][name], (data.batch["advantages"], data.batch["returns"]), torch.float64, (tolerance,))


def test_verl_runtime_env_keeps_others_and_refuses_a_second_hook(core_algos):
    from quorvale_rl_core_torch import verl
    saved = core_algos.compute_gae_advantage_return
    try:
        env = verl.ray_runtime_env({"env_vars": {"A": "1"}})
        assert env == {"env_vars": {"A": "1"}, "worker_process_setup_hook": "quorvale_rl_core_torch.verl.install"}
        assert core_algos.compute_gae_advantage_return is verl.compute_gae_advantage_return  # and in this process
        assert core_algos.get_adv_estimator_fn("quorvale_rloo") is verl.compute_rloo_outcome_advantage
        with pytest.raises(ValueError, match="already has worker_process_setup_hook"):
            verl.ray_runtime_env({"worker_process_setup_hook": "mine.setup"})
    finally:
        core_algos.compute_gae_advantage_return = saved


# ---------------------------------------------------------------- torchrl's GAE module

def rollout(dtype, factors):
    """A (4 envs, 30 steps) rollout as torchrl's collectors lay it out, with ends (some terminated, some truncated)."""
    from tensordict import TensorDict
    g = torch.Generator().manual_seed(3)
    envs, steps = 4, 30
    done = torch.rand(envs, steps, 1, generator=g) < 0.1
    data = TensorDict({"state_value": torch.randn(envs, steps, 1, generator=g, dtype=dtype),
                       "next": {"state_value": torch.randn(envs, steps, 1, generator=g, dtype=dtype),
                                "reward": torch.randn(envs, steps, 1, generator=g, dtype=dtype),
                                "done": done, "terminated": done & (torch.rand(envs, steps, 1, generator=g) < 0.5)}},
                      batch_size=[envs, steps])
    lmbda = 0.95
    if factors == "same steps":  # per-step gamma, the same at every step: the kernel
        data["steps_to_next_obs"] = torch.ones(envs, steps, 1, dtype=torch.int64)
    elif factors == "steps":  # per-step gamma, gamma ** steps_to_next_obs as torchrl's module forms it
        data["steps_to_next_obs"] = torch.randint(1, 4, (envs, steps, 1), generator=g)
    elif factors == "lmbda":  # a per-step lmbda buffer
        lmbda = 0.95 - 0.1 * torch.rand(envs, steps, 1, generator=g, dtype=dtype)
    return data, lmbda


@pytest.mark.parametrize("dtype", [torch.float64, torch.float32])
@pytest.mark.parametrize("factors", ["scalar", "same steps", "steps", "lmbda"])
def test_torchrl_gae_module(dtype, factors):
    peer("torchrl.objectives.value", "torchrl tensordict")
    from torchrl.objectives.value import GAE, advantages

    from quorvale_rl_core_torch import torchrl as quorvale_torchrl
    saved = advantages.generalized_advantage_estimate, advantages.vec_generalized_advantage_estimate
    results = {}
    try:
        for who in ("ours", "theirs"):
            if who == "ours":
                quorvale_torchrl.install()
                assert advantages.vec_generalized_advantage_estimate is quorvale_torchrl.generalized_advantage_estimate
            else:
                advantages.generalized_advantage_estimate, advantages.vec_generalized_advantage_estimate = saved
            # torchrl 0.14 documents vectorized=True as the default, but leaves it None, which takes the recursion.
            for vectorized in ("default", True, False):
                data, lmbda = rollout(dtype, factors)
                chosen = {} if vectorized == "default" else dict(vectorized=vectorized)
                module = GAE(gamma=0.99, lmbda=lmbda, value_network=None, **chosen)
                out = module(data)
                results[who, vectorized] = (out["advantage"], out["value_target"], module.value_estimate(data))
    finally:
        advantages.generalized_advantage_estimate, advantages.vec_generalized_advantage_estimate = saved
    for vectorized in ("default", True):
        # Against torchrl's recursion, float64: the same roundings in the same order, per-step factors included.
        agree(results["ours", vectorized][:2], results["theirs", False][:2], dtype)
        # Against torchrl's vectorised evaluation of the same recursion (value_estimate's too): within precision.
        agree(results["ours", vectorized], results["theirs", True], dtype, (F64_ORDER,))
