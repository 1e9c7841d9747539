"""The trainers' own advantage functions against their drop-ins (quorvale_rl_core_torch.verl, .trl, .openrlhf,
.sb3, .cleanrl, .torchrl), at the trainers' production sizes, float32 tensors in and out, conversions included.

    python bench/trainers.py [--quick] [--threads 1,2] [--paths all] [--repeat N] [--markdown PATH]

Each thread count runs in a child process with RAYON_NUM_THREADS (ours) and torch.set_num_threads (the peers) set
before anything is timed. Every pair is first checked to agree (the tolerances of tests/test_dropins.py) so that no
row times a different computation. The peers' Python loops take up to seconds per call: a peer is timed over 3
calls (1 when its first call takes over 2 s), ours over many, the two taking turns round by round; each figure is
the minimum (the machine is shared: the minimum is the least disturbed run). Speed-up = peer time / our time (above
1: ours is faster); the target is at least 10x. Where bench/floors.py has a hand-written numba loop with the drop-in's
exact semantics (the floor, run with as many numba threads), it is checked and timed as well, taking turns with ours:
drop-in / floor is our time over the loop's (the target is at most 1.3x with one thread). Where TRL, OpenRLHF's group modes and CleanRL keep their lines inline
in a trainer or script, the peer is the transcription in tests/peers.py that the tests compare with. A peer that is
not installed is skipped with the package to install.
"""

import argparse
import datetime
import gc
import json
import os
import platform
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
TARGET = 10.0
SLOW_CALL = 2.0  # seconds: a peer call this slow is timed once
TRAINERS = ("verl", "TRL", "OpenRLHF", "Stable-Baselines3", "CleanRL", "torchrl")
LOOP_CALL = 0.2  # seconds: a peer call faster than this is timed in batches, as ours


# ---------------------------------------------------------------- child: the cases


def child(threads, quick, repeat, only):
    import numpy as np
    import torch

    torch.set_num_threads(threads)
    sys.path[:0] = [str(ROOT / "bench")]
    sys.path[:0] = [str(ROOT / "bench"), str(ROOT / "tests")]
    import peers as peer_lines
    import pytest
    from test_dropins import F32, close, sb3_buffer
    from trainer_bench import best

    import floors
    import numba

    import quorvale_rl_core_torch as qt
    from quorvale_rl_core_torch import cleanrl, openrlhf, sb3, trl, verl
    from quorvale_rl_core_torch import torchrl as qtorchrl

    missing = (ImportError, pytest.skip.Exception)
    rows = []

    def agree(ours, theirs):
        ours = ours if isinstance(ours, tuple) else (ours,)
        theirs = theirs if isinstance(theirs, tuple) else (theirs,)
        assert len(ours) == len(theirs)
        for a, b in zip(ours, theirs):
            a, b = (torch.from_numpy(x) if isinstance(x, np.ndarray) else x for x in (a, b))
            close(a, b, F32)

    numba.set_num_threads(threads)
    floors.warm()

    def measure(trainer, case, size, peer, ours, rounds=3, floor=None):
        """Check, then time: the peer's calls and batches of ours (and of the floor) alternating; each side's
        minimum."""
        gc.collect()
        start = time.perf_counter()
        theirs = peer()
        peer_time = time.perf_counter() - start
        agree(ours(), theirs)
        if floor is not None:
            agree(floor(), theirs)
        del theirs
        ours_time = floor_time = float("inf")
        for _ in range(rounds):
            if floor is not None:
                floor_time = min(floor_time, best(floor, repeat))
            if peer_time < LOOP_CALL:  # a call of microseconds to milliseconds: timed like ours, in batches
                peer_time = min(peer_time, best(peer, repeat))
            elif peer_time < SLOW_CALL:
                start = time.perf_counter()
                peer()
                peer_time = min(peer_time, time.perf_counter() - start)
            ours_time = min(ours_time, best(ours, repeat))
        row = dict(trainer=trainer, case=case, size=size, threads=threads, peer=peer_time, ours=ours_time)
        if floor is not None:
            row["floor"] = floor_time
        rows.append(row)
        print(f"  {trainer} {case} {size}: peer {peer_time:.4g} s, ours {ours_time:.4g} s, floor {floor_time if floor else '-'}", file=sys.stderr)

    def skipped(trainer, error):
        rows.append(dict(trainer=trainer, skipped=str(error).splitlines()[0]))
        print(f"  {trainer} skipped: {error}", file=sys.stderr)

    g = torch.Generator().manual_seed(0)

    def multi_turn_mask(rows_, steps):
        """int64 response masks: lengths from an eighth to all of the row, three tool-observation gaps of up to 64
        tokens."""
        lengths = torch.randint(steps // 8, steps + 1, (rows_, 1), generator=g)
        mask = (torch.arange(steps) < lengths).to(torch.int64)
        starts = torch.randint(0, steps, (rows_, 3), generator=g)
        for b in range(rows_):
            for start in starts[b].tolist():
                mask[b, start:start + int(torch.randint(1, 65, (1,), generator=g))] = 0
        return mask

    def numpy_floor(function, *arguments):
        arrays = [a.numpy() if isinstance(a, torch.Tensor) else a for a in arguments]
        return lambda: function(*arrays)

    def labelled_floor(function, rewards, mask, uids, mode):
        r, m = rewards.numpy(), mask.numpy()

        def call():
            labels = np.unique(uids, return_inverse=True)[1]
            return function(r, m, labels, int(labels.max()) + 1, mode)

        return call

    # ------------------------------------------------------------ verl
    def bench_verl():
        try:
            core_algos = peer_lines.peer("verl.trainer.ppo.core_algos", "--no-deps verl==0.9.1")
            from verl.trainer.config import AlgoConfig
        except missing as error:
            skipped("verl", error)
        else:
            prompts, samples, length = (64, 16, 256) if quick else (1024, 16, 4096)
            batch = prompts * samples
            size = f"{prompts} prompts x {samples} samples x {length} tokens"
            lengths = torch.randint(length // 8, length + 1, (batch, 1), generator=g)
            mask = (torch.arange(length) < lengths).to(torch.int64)
            rewards = torch.zeros(batch, length)
            rewards.scatter_(1, lengths - 1, torch.randint(0, 2, (batch, 1), generator=g).float())  # outcome at the end
            uids = np.repeat(np.array([f"uid-{k}" for k in range(prompts)], dtype=object), samples)
            floors_of = {"compute_grpo_outcome_advantage": 0, "compute_grpo_vectorized_outcome_advantage": 0,
                         "compute_rloo_outcome_advantage": 1}
            for name in ("compute_grpo_outcome_advantage", "compute_grpo_vectorized_outcome_advantage",
                         "compute_rloo_outcome_advantage", "compute_reinforce_plus_plus_baseline_outcome_advantage"):
                mode = floors_of.get(name)
                floor = labelled_floor(floors.verl_outcome, rewards, mask, uids, mode)
                if mode is None:
                    floor = labelled_floor(floors.verl_reinforce_plus_plus_baseline, rewards, mask, uids, 1e-6)
                measure("verl", name, size, lambda name=name: getattr(core_algos, name)(rewards, mask, uids),
                        lambda name=name: getattr(verl, name)(rewards, mask, uids), floor=floor)
            del rewards, mask, lengths

            config = AlgoConfig(gamma=0.99)
            for rows_, steps in [(8, 512), (16, 256)] if quick else [(64, 8192), (8, 131072), (1024, 2048)]:
                size = f"{rows_} x {steps} tokens, multi-turn"
                mask = multi_turn_mask(rows_, steps)
                rewards = torch.randn(rows_, steps, generator=g) * 0.01 * mask
                values = torch.randn(rows_, steps, generator=g)
                measure("verl", "compute_gae_advantage_return", size,
                        lambda: core_algos.compute_gae_advantage_return(rewards, values, mask, 1.0, 0.95),
                        lambda: verl.compute_gae_advantage_return(rewards, values, mask, 1.0, 0.95),
                        floor=numpy_floor(floors.verl_gae, rewards, values, mask, 1.0, 0.95))
                measure("verl", "compute_reinforce_plus_plus_outcome_advantage", size,
                        lambda: core_algos.compute_reinforce_plus_plus_outcome_advantage(rewards, mask, config),
                        lambda: verl.compute_reinforce_plus_plus_outcome_advantage(rewards, mask, config),
                        floor=numpy_floor(floors.verl_reinforce_plus_plus, rewards, mask, 0.99))
                del rewards, values, mask

            shape = (64, 512) if quick else (1024, 4096)
            logprob, ref = -torch.rand(shape, generator=g) * 4, -torch.rand(shape, generator=g) * 4
            for name in ("k1", "abs", "k2", "k3"):
                with torch.no_grad():  # as in verl's reward shaping
                    measure("verl", f"kl_penalty {name}", f"{shape[0]} x {shape[1]} tokens",
                            lambda name=name: core_algos.kl_penalty(logprob, ref, name),
                            lambda name=name: verl.kl_penalty(logprob, ref, name))
            del logprob, ref

    # ------------------------------------------------------------ TRL
    def bench_trl():
        try:
            peer_lines.peer("trl.trainer.utils", "trl")
        except missing as error:
            skipped("TRL", error)
        else:
            prompts, samples = (64, 16) if quick else (1024, 16)
            size = f"{prompts} prompts x {samples} generations"
            scores = torch.randn(prompts * samples, generator=g)
            for scale in ("group", "batch", "none"):
                measure("TRL", f"GRPO scale_rewards={scale}", size,
                        lambda scale=scale: peer_lines.trl_grpo(scores, samples, scale),
                        lambda scale=scale: trl.grpo_advantages(scores, samples, scale))
            for normalize in (False, True):
                measure("TRL", f"RLOO normalize_advantages={normalize}", size,
                        lambda normalize=normalize: peer_lines.trl_rloo(scores, samples, normalize),
                        lambda normalize=normalize: trl.rloo_advantages(scores, samples, normalize))

    # ------------------------------------------------------------ OpenRLHF
    def bench_openrlhf():
        try:
            maker = peer_lines.openrlhf_experience_maker()
        except missing as error:
            skipped("OpenRLHF", error)
        else:
            rows_, steps = (64, 512) if quick else (512, 8192)
            size = f"{rows_} x {steps} tokens"
            lengths = torch.randint(steps // 8, steps + 1, (rows_, 1), generator=g)
            mask = torch.arange(steps) < lengths
            rewards = torch.randn(rows_, steps, generator=g) * 0.01
            values = torch.randn(rows_, steps, generator=g)
            measure("OpenRLHF", "get_advantages_and_returns", size,
                    lambda: maker.get_advantages_and_returns(None, values, rewards, mask, 1.0, 0.95),
                    lambda: openrlhf.get_advantages_and_returns(values, rewards, mask, 1.0, 0.95),
                    floor=numpy_floor(floors.openrlhf_gae, values, rewards, mask, 1.0, 0.95))
            measure("OpenRLHF", "get_cumulative_returns", size,
                    lambda: maker.get_cumulative_returns(None, rewards, mask, 0.99),
                    lambda: openrlhf.get_cumulative_returns(rewards, mask, 0.99))
            del rewards, values, mask
            prompts, samples = (64, 16) if quick else (1024, 16)
            scores = torch.randn(prompts * samples, generator=g)
            for estimator in ("rloo", "reinforce_baseline", "group_norm"):
                measure("OpenRLHF", f"advantage estimator {estimator}", f"{prompts} prompts x {samples} samples",
                        lambda estimator=estimator: peer_lines.openrlhf_shape(scores, samples, estimator),
                        lambda estimator=estimator: openrlhf.shape_rewards(scores, samples, estimator))

    # ------------------------------------------------------------ Stable-Baselines3 and CleanRL
    grid = [(8, 128), (64, 512)] if quick else [(8, 128), (16, 128), (64, 128), (8, 512), (64, 512), (8, 2048),
                                                  (16, 2048), (64, 2048)]

    def bench_sb3():
        try:
            sb3_buffer(2, 2, 0)
        except missing as error:
            skipped("Stable-Baselines3", error)
        else:
            for envs, steps in grid:
                theirs, last_values, dones = sb3_buffer(steps, envs, 1)
                ours, _, _ = sb3_buffer(steps, envs, 1)

                def peer_call(theirs=theirs, last_values=last_values, dones=dones):
                    theirs.compute_returns_and_advantage(last_values, dones)
                    return theirs.advantages, theirs.returns

                def ours_call(ours=ours, last_values=last_values, dones=dones):
                    sb3.compute_returns_and_advantage(ours, last_values, dones)
                    return ours.advantages, ours.returns

                measure("Stable-Baselines3", "RolloutBuffer.compute_returns_and_advantage", f"{envs} envs x {steps} steps",
                        peer_call, ours_call)

    def bench_cleanrl():
        for envs, steps in grid:
            rewards, values = torch.randn(steps, envs, generator=g), torch.randn(steps, envs, generator=g)
            dones = (torch.rand(steps, envs, generator=g) < 0.01).float()
            next_value, next_done = torch.randn(1, envs, generator=g), (torch.rand(envs, generator=g) < 0.5).float()
            arguments = (rewards, values, dones, next_value, next_done, 0.99, 0.95)
            measure("CleanRL", "ppo.py GAE block", f"{envs} envs x {steps} steps",
                    lambda arguments=arguments: peer_lines.cleanrl_gae(*arguments),
                    lambda arguments=arguments: cleanrl.compute_advantages(*arguments))

    # ------------------------------------------------------------ torchrl
    def bench_torchrl():
        try:
            functional = peer_lines.peer("torchrl.objectives.value.functional", "torchrl tensordict")
        except missing as error:
            skipped("torchrl", error)
        else:
            shape = (32, 256, 1) if quick else (256, 1024, 1)
            value, next_value, reward = (torch.randn(*shape, generator=g) for _ in range(3))
            done = torch.rand(shape, generator=g) < 0.01  # episodes of about 100 steps
            terminated = done & (torch.rand(shape, generator=g) < 0.5)
            arguments = (0.99, 0.95, value, next_value, reward, done, terminated)
            measure("torchrl", "generalized_advantage_estimate", f"{shape[0]} x {shape[1]} x 1",
                    lambda: functional.generalized_advantage_estimate(*arguments),
                    lambda: qtorchrl.generalized_advantage_estimate(*arguments))

    cases = {"verl": bench_verl, "TRL": bench_trl, "OpenRLHF": bench_openrlhf, "Stable-Baselines3": bench_sb3,
             "CleanRL": bench_cleanrl, "torchrl": bench_torchrl}
    for name in only or cases:
        cases[name]()
        gc.collect()

    versions = {"torch": torch.__version__, "numpy": np.__version__}
    for name in ("verl", "trl", "openrlhf", "stable_baselines3", "torchrl"):
        try:
            versions[name] = __import__(name).__version__
        except Exception:  # noqa: BLE001 - a peer that is missing or fails to import has no version to report
            pass
    del qt
    return dict(rows=rows, versions=versions)


# ---------------------------------------------------------------- parent: processes and tables


def seconds(t):
    if t >= 1.0:
        return f"{t:.2f} s"
    if t >= 1e-3:
        return f"{t * 1e3:.3g} ms"
    return f"{t * 1e6:.3g} µs"


def processor():
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def tables(results, header):
    lines = [header, ""]
    order, skipped = [], {}
    for result in results:
        for row in result["rows"]:
            if "skipped" in row:
                skipped[row["trainer"]] = row["skipped"]
            elif row["trainer"] not in order:
                order.append(row["trainer"])
    missed = []
    for trainer in order:
        lines += [f"### {trainer}", "",
                  "| case | size | threads | peer | ours | speed-up | ≥10x | floor | drop-in / floor |",
                  "|---|---|---|---|---|---|---|---|---|"]
        for result in results:
            for row in result["rows"]:
                if row.get("trainer") != trainer:
                    continue
                ratio = row["peer"] / row["ours"]
                verdict = "PASS" if ratio >= TARGET else "FAIL"
                if verdict == "FAIL":
                    missed.append(f"{trainer} {row['case']} ({row['threads']} thread(s)): {ratio:.2f}x")
                floor = row.get("floor")
                versus = f"{seconds(floor)} | {row['ours'] / floor:.2f}x" if floor else "– | –"
                lines.append(f"| {row['case']} | {row['size']} | {row['threads']} | {seconds(row['peer'])} | "
                             f"{seconds(row['ours'])} | {ratio:.1f}x | {verdict} | {versus} |")
        lines.append("")
    for trainer, message in skipped.items():
        lines += [f"{trainer}: skipped ({message})", ""]
    lines += ["Below the 10x target: " + ("; ".join(missed) if missed else "none") + ".", ""]
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="small sizes (seconds): a smoke check")
    parser.add_argument("--threads", default="1,2", help="thread counts, comma-separated")
    parser.add_argument("--repeat", type=int, default=None, help="batches of ours per round (default 7, quick 2)")
    parser.add_argument("--markdown", metavar="PATH", help="write the tables to PATH")
    parser.add_argument("--note", default="", help="a line for the tables' header (for example the machine's load)")
    parser.add_argument("--only", action="append", choices=TRAINERS, help="this trainer only (repeatable)")
    parser.add_argument("--paths", help="instruction-set paths, comma-separated, or 'all' the processor allows "
                        "(QRL_CPU_FEATURES per child); default: the one the module picks")
    parser.add_argument("--child", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    repeat = args.repeat or (2 if args.quick else 7)
    if args.child:
        print(json.dumps(child(args.child, args.quick, repeat, args.only)))
        return
    paths = [None]
    if args.paths == "all":
        import quorvale_rl_core
        paths = quorvale_rl_core.runtime_info()["instruction_sets_allowed"]
    elif args.paths:
        paths = args.paths.split(",")
    texts = []
    for path in paths:
        results = []
        started = datetime.datetime.now()
        for threads in (int(n) for n in args.threads.split(",")):
            env = dict(os.environ, RAYON_NUM_THREADS=str(threads), OMP_NUM_THREADS=str(threads))
            if path:
                env["QRL_CPU_FEATURES"] = path
            command = [sys.executable, __file__, "--child", str(threads), "--repeat", str(repeat)]
            command += [f"--only={name}" for name in args.only or ()]
            print(f"{threads} thread(s){', path ' + path if path else ''}:", file=sys.stderr)
            out = subprocess.run(command + (["--quick"] if args.quick else []), env=env, stdout=subprocess.PIPE,
                                 text=True, check=True).stdout
            results.append(json.loads(out.splitlines()[-1]))
        versions = ", ".join(f"{name} {version}" for name, version in results[0]["versions"].items())
        header = (f"{processor()}, {os.cpu_count()} cores, Python {platform.python_version()}, {versions}; "
                  f"{started:%Y-%m-%d %H:%M} to {datetime.datetime.now():%H:%M}; threads {args.threads}"
                  f"{'; quick sizes' if args.quick else ''}.{' ' + args.note if args.note else ''}")
        text = tables(results, header)
        texts.append(f"### Instruction-set path: {path}\n\n{text}" if path else text)
    text = "\n\n".join(texts)
    print(text)
    if args.markdown:
        Path(args.markdown).write_text(text)


if __name__ == "__main__":
    main()
