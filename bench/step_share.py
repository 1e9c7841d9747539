"""The share of a training step spent in advantages, measured inside the trainers as docs/trainers.md's recipes run.

    python bench/step_share.py [trl] [sb3] [torchrl] [verl]

One thread (torch.set_num_threads(1), RAYON_NUM_THREADS=1), CPU only. Each trainer's step is timed whole, and the
advantage call inside it is timed on its own, the trainer's lines and the drop-in's on the same inputs (minimum of
repeated calls; the step is the median over steps after the first). Share = advantage time / step time.

- TRL: GRPOTrainer and RLOOTrainer (the recipe's subclasses) training a 2-layer Qwen2 of hidden size 32 for 6 steps,
  8 completions per step; TRL's lines are the transcription the tests compare with.
- Stable-Baselines3: PPO on CartPole-v1 with the recipe's buffer; a step is one rollout plus its update.
- torchrl: the GAE module with its defaults (the values given, its value network not timed) against a step that collects the same number of CartPole-v1
  steps with a Collector and runs ClipPPOLoss for 10 epochs of 64-sample minibatches.
- verl: its trainer needs GPUs, so only `compute_advantage` is timed here, as its TaskRunner runs it (CPU tensors);
  verl logs `timing_s/adv` and `timing_s/step` itself, which give the share on a real run.
"""

import copy
import os
import statistics
import sys
import tempfile
import time

os.environ.setdefault("RAYON_NUM_THREADS", "1")
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

import torch  # noqa: E402

torch.set_num_threads(1)


def best(function, repeat=20):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return min(times)


def report(trainer, size, step, theirs, ours):
    print(
        f"| {trainer} | {size} | {step * 1e3:.1f} ms | {theirs * 1e6:.1f} µs ({theirs / step:.3%}) | "
        f"{ours * 1e6:.1f} µs ({ours / step:.3%}) |",
        flush=True,
    )


def trl():
    import trl as trl_module
    from datasets import Dataset
    from peers import trl_grpo, trl_rloo
    from test_trainer_recipes import completion_reward, tiny_model_and_tokenizer

    from quorvale_rl_core_torch import trl as quorvale_trl

    for name, theirs_lines, ours_lines in (
        ("GRPOTrainer", lambda r: trl_grpo(r, 4, "group"), lambda r: quorvale_trl.grpo_advantages(r, 4, "group")),
        ("RLOOTrainer", lambda r: trl_rloo(r, 4, False), lambda r: quorvale_trl.rloo_advantages(r, 4, False)),
    ):
        stamps, rewards = [], []

        class Timed(getattr(quorvale_trl, name)):
            def training_step(self, *args, **kwargs):
                result = super().training_step(*args, **kwargs)
                stamps.append(time.perf_counter())
                return result

            def _advantages(self, summed, output):
                rewards.append(summed.clone())
                return super()._advantages(summed, output)

        config = getattr(trl_module, name.replace("Trainer", "Config"))(
            output_dir=tempfile.mkdtemp(), per_device_train_batch_size=8, num_generations=4, max_completion_length=6,
            max_steps=6, report_to="none", use_cpu=True, save_strategy="no", seed=0, disable_tqdm=True,
        )
        model, tokenizer = tiny_model_and_tokenizer()
        prompts = Dataset.from_dict({"prompt": [f"w{i} w{i + 1} w{i + 2}" for i in range(24)]})
        Timed(model=model, reward_funcs=completion_reward, args=config, train_dataset=prompts,
              processing_class=tokenizer).train()
        step = statistics.median(b - a for a, b in zip(stamps[1:], stamps[2:]))
        r = rewards[-1]
        report(f"TRL {name}", "2 prompts x 4, 6 tokens", step, best(lambda: theirs_lines(r)),
               best(lambda: ours_lines(r)))


def sb3():
    from stable_baselines3 import PPO
    from stable_baselines3.common.buffers import RolloutBuffer
    from stable_baselines3.common.env_util import make_vec_env

    from quorvale_rl_core_torch import sb3 as quorvale_sb3

    for envs, steps in ((8, 256), (16, 1024)):
        stamps, buffers = [], []

        class Buffer(RolloutBuffer):
            def compute_returns_and_advantage(self, last_values, dones):
                buffers[:] = [(copy.deepcopy(self), last_values, dones)]  # before SB3 flattens it for the update
                quorvale_sb3.compute_returns_and_advantage(self, last_values, dones)

        environments = make_vec_env("CartPole-v1", n_envs=envs, seed=0)
        model = PPO("MlpPolicy", environments, n_steps=steps, rollout_buffer_class=Buffer, seed=0, device="cpu")
        model.learn(total_timesteps=envs * steps * 4, callback=lambda *a: stamps.append(time.perf_counter()) or True)
        # The callback runs once per environment step: a rollout starts where the previous update ended.
        per_rollout = envs * steps
        starts = [stamps[i] for i in range(0, len(stamps), steps)]
        step = statistics.median(b - a for a, b in zip(starts[1:], starts[2:]))
        buffer, last_values, dones = buffers[-1]
        report("Stable-Baselines3 PPO", f"CartPole {envs} envs x {steps} steps ({per_rollout} per rollout)", step,
               best(lambda: RolloutBuffer.compute_returns_and_advantage(buffer, last_values, dones)),
               best(lambda: quorvale_sb3.compute_returns_and_advantage(buffer, last_values, dones)))


def torchrl():
    from tensordict.nn import TensorDictModule
    from torchrl.collectors import Collector
    from torchrl.envs import GymEnv
    from torchrl.modules import OneHotCategorical, ProbabilisticActor, ValueOperator
    from torchrl.objectives import ClipPPOLoss
    from torchrl.objectives.value import GAE, advantages

    from quorvale_rl_core_torch import torchrl as quorvale_torchrl

    theirs = advantages.generalized_advantage_estimate, advantages.vec_generalized_advantage_estimate
    ours = (quorvale_torchrl.generalized_advantage_estimate,) * 2
    for envs, steps in ((1, 2048),):
        env = GymEnv("CartPole-v1")
        policy_net = torch.nn.Sequential(torch.nn.Linear(4, 64), torch.nn.Tanh(), torch.nn.Linear(64, 2))
        # One-hot actions, as CartPole's action space takes them.
        actor = ProbabilisticActor(TensorDictModule(policy_net, ["observation"], ["logits"]), in_keys=["logits"],
                                   distribution_class=OneHotCategorical, return_log_prob=True)
        value = ValueOperator(torch.nn.Sequential(torch.nn.Linear(4, 64), torch.nn.Tanh(), torch.nn.Linear(64, 1)),
                              in_keys=["observation"])
        estimator = GAE(gamma=0.99, lmbda=0.95, value_network=value)
        loss = ClipPPOLoss(actor, value)
        optimiser = torch.optim.Adam(loss.parameters(), lr=3e-4)
        collector = Collector(env, actor, frames_per_batch=envs * steps, total_frames=envs * steps * 4)
        times, batches = [], []
        start = time.perf_counter()
        for batch in collector:
            with torch.no_grad():
                estimator(batch)
            flat = batch.reshape(-1)
            for _ in range(10):
                for index in torch.randperm(flat.numel()).split(64):
                    losses = loss(flat[index])
                    total = losses["loss_objective"] + losses["loss_critic"] + losses["loss_entropy"]
                    optimiser.zero_grad()
                    total.backward()
                    optimiser.step()
            times.append(time.perf_counter() - start)
            start = time.perf_counter()
            batches.append(batch)
        collector.shutdown()
        step = statistics.median(times[1:])
        batch = batches[-1]
        with torch.no_grad():  # the values the estimator's network gave, so that only the advantage arithmetic is timed
            value(batch)
            value(batch["next"])
        estimator = GAE(gamma=0.99, lmbda=0.95, value_network=None)

        def with_function(functions):
            advantages.generalized_advantage_estimate, advantages.vec_generalized_advantage_estimate = functions
            try:
                with torch.no_grad():
                    return best(lambda: estimator(batch.clone()))
            finally:
                advantages.generalized_advantage_estimate, advantages.vec_generalized_advantage_estimate = theirs

        report("torchrl GAE module", f"CartPole {envs} env x {steps} steps", step,
               with_function(theirs), with_function(ours))


def verl():
    import numpy as np
    from omegaconf import OmegaConf
    from verl import DataProto
    from verl.trainer.ppo import core_algos
    from verl.trainer.ppo.ray_trainer import compute_advantage

    from quorvale_rl_core_torch import verl as quorvale_verl

    config = OmegaConf.create(dict(gamma=1.0, lam=1.0, norm_adv_by_std_in_grpo=True))
    theirs_gae = core_algos.compute_gae_advantage_return
    for estimator, rows, length in (("grpo", 256 * 8, 1024), ("gae", 256 * 8, 1024), ("gae", 64, 8192),
                                    ("gae", 8, 131072)):
        g = torch.Generator().manual_seed(0)
        mask = (torch.arange(length) < torch.randint(length // 2, length + 1, (rows, 1), generator=g)).to(torch.int64)
        tensors = dict(token_level_rewards=torch.randn(rows, length, generator=g) * mask,
                       values=torch.randn(rows, length, generator=g), response_mask=mask)
        uids = np.array([f"uid-{k // 8}" for k in range(rows)], dtype=object)

        def run(name):
            data = DataProto.from_dict(tensors=dict(tensors), non_tensors={"uid": uids})
            return lambda: compute_advantage(data, adv_estimator=name, config=config)

        repeat = 1 if length > 10000 else 3
        if estimator == "gae":
            theirs = best(run("gae"), repeat)
            core_algos.compute_gae_advantage_return = quorvale_verl.compute_gae_advantage_return
            try:
                ours = best(run("gae"), repeat)
            finally:
                core_algos.compute_gae_advantage_return = theirs_gae
        else:
            quorvale_verl.register()
            theirs, ours = best(run("grpo"), repeat), best(run("quorvale_grpo"), repeat)
        print(f"| verl {estimator} | {rows} x {length} tokens | {theirs * 1e3:.1f} ms | {ours * 1e3:.1f} ms |",
              flush=True)


if __name__ == "__main__":
    for name in sys.argv[1:] or ("trl", "sb3", "torchrl", "verl"):
        globals()[name]()
