"""Benchmark quorvale_rl_core against the code a user would write instead.

    env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE python bench/run.py [--quick] [--only NAME] [--paths all]

Times every case of bench/cases.py side by side with its peers (fastest of interleaved repeats),
checks every peer's result against ours once, measures the thread scaling of the parallel
functions (RAYON_NUM_THREADS=1 against 2, in subprocesses) and the peak memory a call adds (in a
subprocess), prints the tables with the targets and writes bench/results.json and bench/README.md
(full runs).  It times the instruction-set path the module picks on this processor; `--paths all`
times every path the processor allows, each in a child process with QRL_CPU_FEATURES set.
"""

from __future__ import annotations

import argparse
import ctypes
import gc
import itertools
import json
import os
import platform
import re
import statistics
import subprocess
import sys
import time
from functools import partial
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import cases  # noqa: E402
from cases import CASES, CHAIN_FLOOR, EXP_FLOOR, FLOOR, FLOORS, NUMPY_PEERS  # noqa: E402

OURS = "ours"
PEER_COLUMNS = ("numpy", "torch", "numba", "py loop", "lfilter", "np time-loop", *FLOORS)
PATHS = ("baseline", "avx2", "avx512")
MEMORY_SLACK_BYTES = 256 * 1024
MEMORY_VARIANTS = ("", "mean, norm", "median, norm", "list", "ndarray")


# ---------------------------------------------------------------- timing

def _per_call_ns(fn, inner: int, warm: bool = False) -> float:
    if warm:
        fn()
    loop = itertools.repeat(None, inner)
    t0 = time.perf_counter_ns()
    for _ in loop:
        fn()
    return (time.perf_counter_ns() - t0) / inner


def measure(fns: dict, reps: int, block_ns: float, budget_ns: float) -> dict:
    """Fastest ns per call of each function over blocks of calls interleaved across functions (the
    machine is shared: the fastest block is the one least disturbed by other processes).

    Each block starts with an untimed call (unless a call takes 20 ms or more): the first call
    after another function's block pays for cold caches and sleeping threads, its own and those
    of the function before it, which is not the cost of the call itself."""
    inner, todo, warm = {}, {}, {}
    for name, fn in fns.items():
        fn()
        k = 1
        while (t := _per_call_ns(fn, k)) * k < 2e5 and k < 10**6:
            k *= 10
        inner[name] = max(1, round(block_ns / t))
        warm[name] = t < 2e7
        todo[name] = max(3, min(reps, int(budget_ns / (t * inner[name]))))
    samples = {name: [] for name in fns}
    names = list(fns)
    gc.disable()
    try:
        for rep in range(max(todo.values())):
            for name in names[rep % len(names):] + names[:rep % len(names)]:
                if len(samples[name]) < todo[name]:
                    samples[name].append(_per_call_ns(fns[name], inner[name], warm[name]))
    finally:
        gc.enable()
    return {name: {"ns": min(s), "median": statistics.median(s), "spread": _spread(s), "inner": inner[name],
                   "samples": s} for name, s in samples.items()}


def paired_ratio(slow: list, fast: list) -> float:
    """The ratio of the fastest times: on a shared machine the minimum over repeats is the cost
    least disturbed by other processes."""
    return min(slow) / min(fast)


def _spread(s: list) -> float:
    """Interquartile range over median: the noise of one measurement."""
    if len(s) < 4:
        return (max(s) - min(s)) / statistics.median(s)
    q = statistics.quantiles(s, n=4)
    return (q[2] - q[0]) / q[1]


class OtherLoad:
    """How many cores other processes kept busy while this one ran: the machine's busy time
    (from /proc/stat) less this process's and its children's CPU time, over the wall time."""

    def __init__(self):
        self.start = self._now()

    @staticmethod
    def _now() -> tuple:
        ticks = [int(v) for v in Path("/proc/stat").read_text().split("\n", 1)[0].split()[1:]]
        busy = (sum(ticks[:8]) - ticks[3] - ticks[4]) / os.sysconf("SC_CLK_TCK")
        t = os.times()
        return time.monotonic(), busy, t.user + t.system + t.children_user + t.children_system

    def cores(self) -> float:
        end = self._now()
        wall, busy, own = (e - s for e, s in zip(end, self.start))
        return max(0.0, (busy - own) / wall)


def _flat(x) -> np.ndarray:
    if cases.torch is not None and isinstance(x, cases.torch.Tensor):
        x = x.numpy()
    if isinstance(x, np.ndarray):
        return x.ravel()
    if isinstance(x, dict):
        return _flat([x[k] for k in sorted(x)]) if x else np.empty(0)
    if isinstance(x, (list, tuple)):
        return np.concatenate([_flat(v) for v in x]) if x else np.empty(0)
    return np.array([float(x)])


def check_peer(case, name, ours_result, peer_result) -> None:
    if isinstance(ours_result, dict) and sorted(ours_result) != sorted(peer_result):
        raise SystemExit(f"peer {name!r} of {case.func} {case.label} returns other keys")
    a, b = _flat(ours_result), _flat(peer_result)
    if a.shape != b.shape or not np.allclose(a, b, rtol=1e-9, atol=1e-9):
        diff = np.max(np.abs(a - b)) if a.shape == b.shape else f"shapes {a.shape} {b.shape}"
        raise SystemExit(f"peer {name!r} of {case.func} {case.label} disagrees with ours: {diff}")


def time_case(index: int, case, cfg) -> dict:
    func, args, peers = case.make(index)
    ours_result = func(*args)
    for name, (fn, pargs) in peers.items():
        if name not in FLOORS:
            check_peer(case, name, ours_result, fn(*pargs))
    del ours_result
    fns = {OURS: partial(func, *args), **{name: partial(fn, *a) for name, (fn, a) in peers.items()}}
    load = OtherLoad()
    times = measure(fns, cfg.reps, cfg.block_ns, cfg.budget_ns)
    ours = times[OURS]["samples"]
    row = {"func": case.func, "size": case.size, "variant": case.variant, "n": case.n,
           "elementwise": case.elementwise, "small": case.small, "times": times,
           "numba_variant": case.numba_variant,
           "others_cores": load.cores(),
           "ratios": {name: paired_ratio(t["samples"], ours) for name, t in times.items()
                      if name != OURS}}
    row["targets"] = targets(row)
    return row


# ---------------------------------------------------------------- targets

def targets(row: dict) -> dict:
    """T1 to T3 of one case: {target: (passed, text)}; a target that does not apply is absent."""
    ratios = row["ratios"]
    out = {}
    peers = {k: v for k, v in ratios.items() if k not in FLOORS}
    worst = min(peers, key=peers.get)
    out["T1"] = (peers[worst] >= 1.0, f"{peers[worst]:.2f}x {worst}")
    if row["small"]:
        numpy_peers = {k: v for k, v in ratios.items() if k in NUMPY_PEERS}
        worst = min(numpy_peers, key=numpy_peers.get)
        ok, text = numpy_peers[worst] >= 5.0, f"{numpy_peers[worst]:.1f}x {worst}"
        if row["n"] == 64:
            ok = ok and ratios[FLOOR] >= 1.0
            text += f"; {ratios[FLOOR]:.2f}x np.add"
        out["T2"] = (ok, text)
    if row["elementwise"] and row["n"] >= 262144 and row["func"] in ELEMENTWISE_FUNCS:
        out["T3"] = (ratios[FLOOR] >= 1 / 1.3, f"{ratios[FLOOR]:.2f}x np.add")
    for floor, limit in ((EXP_FLOOR, 1.2), (CHAIN_FLOOR, 1.2)):
        if floor in ratios:
            out["T6"] = (ratios[floor] >= 1 / limit, f"{ratios[floor]:.2f}x {floor}")
    return out


# The element-wise functions whose speed is held against np.add.
ELEMENTWISE_FUNCS = ("compute_ppo_surrogate", "apply_gspo_clipping", "clip_rewards_py")


# ---------------------------------------------------------------- subprocesses

def _child(mode: str, names: list, cfg, env_extra: dict) -> dict:
    env = {**os.environ, **env_extra}
    cmd = [sys.executable, str(Path(__file__).resolve()), "--child", mode,
           "--reps", str(cfg.reps), "--block-ms", str(cfg.block_ns / 1e6)]
    for n in names:
        cmd += ["--only", n]
    out = subprocess.run(cmd, env=env, check=True, capture_output=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def _in_threads(case) -> bool:
    return case.parallel and (case.largest or (case.elementwise and case.n >= 262144))


def _in_memory(case) -> bool:
    return case.largest and case.variant in MEMORY_VARIANTS


def child_threads(selected, cfg) -> dict:
    out = {}
    for index, case in filter(lambda ic: _in_threads(ic[1]), selected):
        func, args, peers = case.make(index, with_numba=False)
        fns = {OURS: partial(func, *args), FLOOR: partial(peers[FLOOR][0], *peers[FLOOR][1])}
        if EXP_FLOOR in peers:
            fns[EXP_FLOOR] = peers[EXP_FLOOR][0]
        times = measure(fns, cfg.reps, cfg.block_ns, cfg.budget_ns)
        out[f"{case.func} {case.label}"] = {name: t["ns"] for name, t in times.items()}
    return out


def run_threads(selected, cfg) -> list:
    """Our time with a pool of 1 and of 2 threads, in child processes run alternately; times and
    the speedup are from the fastest round of each."""
    wanted = [(i, c) for i, c in selected if _in_threads(c)]
    if not wanted:
        return []
    keys = [f"{c.func} {c.label}" for _, c in wanted]
    names = sorted({c.func for _, c in wanted})
    runs = {1: [], 2: []}
    for _ in range(cfg.thread_rounds):
        for threads in (1, 2):
            runs[threads].append(_child("threads", names, cfg, {"RAYON_NUM_THREADS": str(threads)}))
    rows = []
    for (_, case), key in zip(wanted, keys):
        one, two = [r[key][OURS] for r in runs[1]], [r[key][OURS] for r in runs[2]]
        speedup = paired_ratio(one, two)
        row = {"func": case.func, "size": case.size, "variant": case.variant,
               "ns_1": min(one), "ns_2": min(two), "speedup": speedup,
               "np.add": min(r[key][FLOOR] for r in runs[1])}
        row["T4_applies"] = case.func in ("batch_compute_gae", "compute_group_advantages") and case.largest
        row["T3_applies"] = case.elementwise and case.func in ELEMENTWISE_FUNCS
        if EXP_FLOOR in runs[1][0][key]:
            row[EXP_FLOOR] = min(r[key][EXP_FLOOR] for r in runs[1])
        row.update(thread_targets(row))
        rows.append(row)
    return rows


def thread_targets(row: dict) -> dict:
    """T3, T4 and T6 of a row of the thread table, each a speed-up."""
    out = {}
    if row.get("T4_applies", row.get("T4")):
        out["T4"] = (row["speedup"] >= 1.6, f"{row['speedup']:.2f}x")
    if row.get("T3_applies", row.get("T3")):
        # One thread at most 1.3x np.add's time; two threads faster than np.add.
        one_add, two_add = row["np.add"] / row["ns_1"], row["np.add"] / row["ns_2"]
        out["T3"] = (one_add >= 1 / 1.3 and two_add > 1.0, f"1 thread {one_add:.2f}x, 2 threads {two_add:.2f}x np.add")
    if EXP_FLOOR in row:
        ratio = row[EXP_FLOOR] / row["ns_1"]
        out["T6"] = (ratio >= 1 / 1.2, f"1 thread {ratio:.2f}x {EXP_FLOOR}")
    return out


def _vm(field: str) -> int:
    text = Path("/proc/self/status").read_text()
    return int(re.search(field + r":\s+(\d+) kB", text).group(1)) * 1024


def peak_added(fn, args) -> tuple:
    """Bytes of resident memory a call adds at its peak (result included), and the result."""
    gc.collect()
    ctypes.CDLL(None).malloc_trim(0)  # free heap pages leave the resident size
    Path("/proc/self/clear_refs").write_text("5")  # resets the peak resident size
    before = _vm("VmRSS")
    result = fn(*args)
    return _vm("VmHWM") - before, result


def _result_bytes(result) -> int:
    return int(_flat(result).nbytes) if not isinstance(result, dict) else 0


def _required_copies(case, args) -> int:
    """Bytes of the copies a call is allowed to make besides its result."""
    if case.func == "batch_compute_gae":
        return sum(a.nbytes for a in args[0]) + sum(a.nbytes for a in args[1])
    if case.func == "compute_reward_statistics":
        return 8 * case.n  # the sequence read into doubles; the median works on that copy
    return 0


def child_memory(selected, cfg) -> dict:
    out = {}
    for index, case in filter(lambda ic: _in_memory(ic[1]), selected):
        smallest = next(c for c in CASES if c.func == case.func and c.variant == case.variant)
        func, args, peers = smallest.make(index, with_numba=False)  # first calls: NumPy's API, the pool
        func(*args)
        for fn, pargs in peers.values():
            fn(*pargs)
        func, args, peers = case.make(index, with_numba=False)
        added, result = peak_added(func, args)
        row = {"added": added, "result": _result_bytes(result),
               "required": _required_copies(case, args)}
        del result
        for name in ("numpy", FLOOR):
            if name in peers:
                row[f"{name}_added"] = peak_added(*peers[name])[0]
        out[f"{case.func} {case.label}"] = row
    return out


def run_memory(selected, cfg) -> list:
    """Peak memory of one call, in a child process whose malloc maps every block of 128 KiB or more
    on its own, so that freed blocks leave the resident size and a new one enters it."""
    wanted = [(i, c) for i, c in selected if _in_memory(c)]
    if not wanted:
        return []
    names = sorted({c.func for _, c in wanted})
    measured = _child("memory", names, cfg, {"MALLOC_MMAP_THRESHOLD_": "131072"})
    rows = []
    for _, case in wanted:
        m = measured[f"{case.func} {case.label}"]
        allowed = m["result"] + m["required"] + max(MEMORY_SLACK_BYTES, m["result"] // 32)
        rows.append({"func": case.func, "size": case.size, "variant": case.variant, **m,
                     "allowed": allowed, "T5": (m["added"] <= allowed, _mib(m["added"]))})
    return rows


# ---------------------------------------------------------------- printing

def fmt_ns(ns: float) -> str:
    for unit, scale in (("s", 1e9), ("ms", 1e6), ("µs", 1e3)):
        if ns >= scale:
            return f"{ns / scale:.3g} {unit}"
    return f"{ns:.0f} ns"


def _mib(b: float) -> str:
    return f"{b / 2**20:.2f} MiB"


def _verdict(t) -> str:
    return "" if t is None else f"{'PASS' if t[0] else 'FAIL'} {t[1]}"


def _label(row: dict) -> str:
    return f"{row['size']} {row['variant']}".strip()


def _table(header: list, rows: list) -> str:
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(str(c) for c in r) + " |" for r in rows]
    return "\n".join(lines)


def timing_table(rows: list) -> str:
    columns = [p for p in PEER_COLUMNS if any(p in r["ratios"] for r in rows)]
    body = []
    for r in rows:
        cells = [f"{fmt_ns(r['times'][p]['ns'])} ({r['ratios'][p]:.2f}x"
                 f"{', ' + r['numba_variant'] if p == 'numba' and r.get('numba_variant') else ''})"
                 if p in r["ratios"] else "" for p in columns]
        body.append([r["func"], _label(r),
                     fmt_ns(r["times"][OURS]["ns"]), *cells,
                     *(_verdict(r["targets"].get(t)) for t in ("T1", "T2", "T3", "T6")),
                     f"{r['others_cores']:.1f}"])
    return _table(["function", "size", "ours", *columns, "T1 faster than all",
                   "T2 small: 5x NumPy", "T3 ≥0.77x np.add", "T6 ≥0.83x floor", "others' load"], body)


def threads_table(rows: list) -> str:
    return _table(["function", "size", "1 thread", "2 threads", "speedup", "np.add (1 thread)",
                   "T4 ≥1.6x", "T3 vs np.add", "T6 vs libm exp"],
                  [[r["func"], _label(r), fmt_ns(r["ns_1"]),
                    fmt_ns(r["ns_2"]), f"{r['speedup']:.2f}x", fmt_ns(r["np.add"]),
                    _verdict(r.get("T4")), _verdict(r.get("T3")), _verdict(r.get("T6"))]
                   for r in rows])


def memory_table(rows: list) -> str:
    return _table(["function", "size", "result", "copies allowed", "ours adds", "numpy adds",
                   "np.add adds", "T5 ≤ result + copies"],
                  [[r["func"], _label(r), _mib(r["result"]),
                    _mib(r["required"]), _mib(r["added"]) + (f" ({r['added'] / r['result']:.2f}x)"
                                                             if r["result"] else ""),
                    _mib(r["numpy_added"]) if "numpy_added" in r else "",
                    _mib(r["np.add_added"]), _verdict(r["T5"])] for r in rows])


def failures(results: dict) -> list:
    rows = [*results["cases"], *results["threads"], *results["memory"]]
    return [f"{t} {r['func']} {_label(r)}: {v[1]}"
            for r in rows for t, v in sorted({**r.get("targets", {}),
                                              **{k: r[k] for k in ("T3", "T4", "T5", "T6")
                                                 if k in r}}.items())
            if not v[0]]


# ---------------------------------------------------------------- main

def processor_paths() -> list:
    """The instruction-set paths this processor supports, from the kernel's view of its flags."""
    if platform.machine() in ("aarch64", "arm64"):
        return ["neon"]
    flags = next((line.split(":", 1)[1].split() for line in open("/proc/cpuinfo")
                  if line.startswith("flags")), [])
    return ["baseline"] + [p for p, flag in (("avx2", "avx2"), ("avx512", "avx512f")) if flag in flags]


def chosen_path(cap) -> str:
    """The path the module picks under QRL_CPU_FEATURES=cap (the rule of docs/instruction_sets.md)."""
    allowed = processor_paths()
    if allowed == ["neon"]:
        return "neon"
    if cap in ("baseline", "avx2"):
        return allowed[min(PATHS.index(cap), len(allowed) - 1)]
    return allowed[-1]


def environment() -> dict:
    try:
        import threadpoolctl
        info = [i for i in threadpoolctl.threadpool_info() if i.get("internal_api") == "openblas"]
        blas, blas_threads = [i.get("architecture") for i in info], [i["num_threads"] for i in info]
    except ImportError:
        blas, blas_threads = ["threadpoolctl not installed"], []
    cpu = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo")
                if line.startswith("model name")), platform.processor())
    rev = subprocess.run(["git", "-C", str(HERE), "rev-parse", "--short", "HEAD"],
                         capture_output=True, text=True).stdout.strip()
    return {"date": time.strftime("%Y-%m-%d %H:%M:%S"), "git": rev, "cpu": cpu,
            "cores": os.cpu_count(), "python": platform.python_version(),
            "numpy": np.__version__, "scipy": __import__("scipy").__version__,
            "torch": cases.torch.__version__ if cases.torch else None,
            "torch_threads": cases.torch.get_num_threads() if cases.torch else None,
            "openblas_kernel": blas, "openblas_threads": blas_threads,
            "openblas_env": {k: os.environ[k] for k in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")
                             if k in os.environ},
            "RAYON_NUM_THREADS": os.environ.get("RAYON_NUM_THREADS"),
            "module": Path(cases.ours.__file__).name,
            "isa_path": chosen_path(os.environ.get("QRL_CPU_FEATURES")),
            "QRL_CPU_FEATURES": os.environ.get("QRL_CPU_FEATURES"),
            "numba": getattr(cases.numba_peers, "__name__", None) and __import__("numba").__version__,
            "module_built": time.strftime("%Y-%m-%d %H:%M:%S",
                                          time.localtime(os.path.getmtime(cases.ours.__file__))),
            "loadavg_start": os.getloadavg()}


def header(m: dict) -> str:
    torch = f"torch {m['torch']} ({m['torch_threads']} threads)" if m["torch"] else "no torch"
    return (f"quorvale_rl_core, checkout at {m['git']}, module {m['module']} built "
            f"{m['module_built']}; run {m['date']}\n"
            f"instruction-set path: {m['isa_path']} (QRL_CPU_FEATURES={m['QRL_CPU_FEATURES'] or 'unset'}; "
            f"this processor allows {', '.join(processor_paths())})\n"
            f"{m['cpu']}, {m['cores']} cores, Python {m['python']}, NumPy {m['numpy']} "
            f"(OpenBLAS kernel {', '.join(map(str, m['openblas_kernel']))}, threads "
            f"{', '.join(map(str, m['openblas_threads']))}), SciPy {m['scipy']}, "
            f"{torch}, numba {m['numba']}; RAYON_NUM_THREADS={m['RAYON_NUM_THREADS'] or 'unset'}; "
            f"{m['reps']} repeats of {m['block_ms']:g} ms blocks{' (quick)' if m['quick'] else ''}")


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    p.add_argument("--quick", action="store_true", help="few short repeats: a smoke run")
    p.add_argument("--only", action="append", default=[],
                   help="only the functions whose name contains this (repeatable)")
    p.add_argument("--json", type=Path, help="results file (full runs: bench/results.json)")
    p.add_argument("--plot", action="store_true", help="also write bench/ratios.png")
    p.add_argument("--render", action="store_true",
                   help="write bench/README.md again from bench/results.json, measuring nothing")
    p.add_argument("--peer-threads", type=int,
                   help="threads of torch and of NumPy's BLAS (default: theirs, one per core)")
    p.add_argument("--reps", type=int, help=argparse.SUPPRESS)
    p.add_argument("--block-ms", type=float, help=argparse.SUPPRESS)
    p.add_argument("--paths", help="instruction-set paths to time, comma-separated (baseline, avx2, avx512), "
                   "or 'all' the processor allows (default: the one the module picks)")
    p.add_argument("--child", choices=("threads", "memory"), help=argparse.SUPPRESS)
    p.add_argument("--path-child", action="store_true", help=argparse.SUPPRESS)
    a = p.parse_args()
    if a.render:
        results = rendered_again(json.loads((HERE / "results.json").read_text()))
        (HERE / "README.md").write_text(readme(results, (HERE / "README.md").read_text()))
        print(f"wrote {HERE / 'README.md'}")
        return
    a.reps = a.reps or (3 if a.quick else 21)
    a.block_ns = (a.block_ms or (1.0 if a.quick else 2.0)) * 1e6
    a.budget_ns = (0.5 if a.quick else 3.0) * 1e9
    a.thread_rounds = 1 if a.quick else 5
    selected = [(i, c) for i, c in enumerate(CASES)
                if not a.only or any(o in c.func for o in a.only)]

    if a.child:
        print(json.dumps((child_threads if a.child == "threads" else child_memory)(selected, a)))
        return

    if cases.enable_torch() and a.peer_threads:
        cases.torch.set_num_threads(a.peer_threads)
    if a.peer_threads:
        import threadpoolctl

        blas_limit = threadpoolctl.threadpool_limits(a.peer_threads, user_api="blas")  # noqa: F841
    paths = processor_paths() if a.paths == "all" else [x for x in (a.paths or "").split(",") if x]
    if paths and not a.path_child:
        results = {"meta": {"cpu": environment()["cpu"], "date": time.strftime("%Y-%m-%d %H:%M:%S")},
                   "paths": {path: run_path_child(path, a) for path in paths}}
    else:
        results = run_once(a, selected)
        print(report(results))
        results = {"meta": {"cpu": results["meta"]["cpu"], "date": results["meta"]["date"]},
                   "paths": {results["meta"]["isa_path"]: results}}

    json_path = a.json or (None if a.quick or a.only else HERE / "results.json")
    if json_path:
        json_path.write_text(json.dumps(results, indent=1, default=str) + "\n")
        print(f"\nwrote {json_path}")
        if not a.path_child and json_path == HERE / "results.json":
            (HERE / "README.md").write_text(readme(results, (HERE / "README.md").read_text()))
            print(f"wrote {HERE / 'README.md'}")
        if a.plot:
            import plot
            plot.main(json_path, HERE / "ratios.png")


def run_path_child(path: str, a) -> dict:
    """A full run on one instruction-set path, in a child process capped with QRL_CPU_FEATURES; its
    report streams to our output."""
    print(f"\n======== instruction-set path {path}", flush=True)
    out = Path(os.environ.get("TMPDIR", "/tmp")) / f"qrl-bench-{os.getpid()}-{path}.json"
    cmd = [sys.executable, str(Path(__file__).resolve()), "--path-child", "--json", str(out),
           "--reps", str(a.reps), "--block-ms", str(a.block_ns / 1e6)]
    cmd += ["--quick"] * a.quick + [x for o in a.only for x in ("--only", o)]
    if a.peer_threads:
        cmd += ["--peer-threads", str(a.peer_threads)]
    subprocess.run(cmd, env={**os.environ, "QRL_CPU_FEATURES": path}, check=True)
    results = json.loads(out.read_text())["paths"][path]
    out.unlink()
    return results


def run_once(a, selected) -> dict:
    """Every selected case on the path this process runs, with thread scaling and memory."""
    results = {"meta": {**environment(), "quick": a.quick, "reps": a.reps,
                        "block_ms": a.block_ns / 1e6}}
    print(header(results["meta"]), flush=True)
    if results["meta"]["openblas_env"]:
        print("note: OPENBLAS_CORETYPE/OPENBLAS_L2_SIZE are set and slow NumPy's BLAS; "
              "run with `env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE` to compare fairly")
    rows = []
    load = OtherLoad()
    for index, case in selected:
        rows.append(time_case(index, case, a))
        print(f"  {case.func} {case.label}: {fmt_ns(rows[-1]['times'][OURS]['ns'])}",
              file=sys.stderr, flush=True)
    results["cases"] = rows
    results["meta"]["others_cores_timing"] = load.cores()
    load = OtherLoad()
    results["threads"] = run_threads(selected, a)
    results["meta"]["others_cores_threads"] = load.cores()
    results["memory"] = run_memory(selected, a)
    results["meta"]["loadavg_end"] = os.getloadavg()
    spreads = [t["spread"] for r in rows for t in r["times"].values()]
    results["meta"]["spread_median"] = statistics.median(spreads)
    results["meta"]["spread_max"] = max(spreads)

    return results


TARGETS_TEXT = (
    "Every figure is a speed-up: the other's time over ours, above 1x meaning ours is faster."
    " T1: every peer ≥1x (numba: the faster of its serial and prange loops). T2 (n ≤ 4096): NumPy"
    " peers ≥5x, and at 64 elements ≥1x over np.add. T3 (PPO, GSPO clipping, clamping,"
    " n ≥ 262144): ≥0.77x over np.add (our time at most 1.3x its time); in the thread table one"
    " thread ≥0.77x and two threads >1x over np.add. T4: group advantages and batch GAE ≥1.6x from"
    " one thread to two. T5: a call adds no memory beyond its result and required copies. T6: GSPO"
    " ratios ≥0.83x over the C library's exp alone (our time at most 1.2x), normalize_rewards ≥0.83x"
    " over the dependent chain of its running mean.")


def report(results: dict) -> str:
    """The tables of one path's run, with the targets."""
    rows, m = results["cases"], results["meta"]
    out = [header(m), "",
           "Times per call: the fastest of interleaved repeats (the machine is shared; the minimum is the"
           " least disturbed); in brackets peer time / our time (above 1x: ours is faster).",
           TARGETS_TEXT, "Others' load: cores that other processes kept busy while the row was measured.",
           "", timing_table(rows)]
    floors = [r for r in rows if CHAIN_FLOOR in r["times"]]
    if floors:
        out += ["", "Dependent-chain limit of normalize_rewards (the running mean's update alone): "
                + ", ".join(f"{r['size']}: {r['times'][CHAIN_FLOOR]['ns'] / r['n']:.2f} ns/element "
                            f"(ours {r['times'][OURS]['ns'] / r['n']:.2f})" for r in floors)]
    if results["threads"]:
        out += ["", "Thread scaling (our time, RAYON_NUM_THREADS=1 against 2) at the largest size, and the"
                " element-wise functions from 262144 elements:", "", threads_table(results["threads"])]
        if m["others_cores_threads"] > 0.25:
            out.append(f"(other processes kept {m['others_cores_threads']:.2f} cores busy meanwhile, so the"
                       " second thread did not always have a core: speedups understate)")
    if results["memory"]:
        out += ["", "Peak resident memory one call adds (its result included), measured in a child process:",
                "", memory_table(results["memory"])]
    fails = failures(results)
    out += ["", f"noise: interquartile range / median of the repeats: median {m['spread_median']:.1%}, "
            f"worst {m['spread_max']:.1%}; other processes kept {m['others_cores_timing']:.2f} of "
            f"{m['cores']} cores busy during the timings, {m['others_cores_threads']:.2f} during the "
            f"thread scaling; load average {m['loadavg_start'][0]:.2f} at start, "
            f"{m['loadavg_end'][0]:.2f} at end",
            "", f"{len(fails)} target checks fail" + (":" if fails else "")]
    out += ["  " + f for f in fails]
    return "\n".join(out)


def rendered_again(results: dict) -> dict:
    """Stored results with every target verdict computed anew (after a change of their wording)."""
    for run in results["paths"].values():
        for row in run["cases"]:
            row["targets"] = targets(row)
        for row in run["threads"]:
            row.update(thread_targets(row))
    return results


def readme(results: dict, previous: str = "") -> str:
    """bench/README.md: every path's full tables, after the sections of `previous` written by hand."""
    paths = list(results["paths"])
    text = ["# Benchmarks", "",
            f"Written by `bench/run.py` on {results['meta']['cpu']} ({results['meta']['date']}), instruction-set "
            f"path{'s' if len(paths) > 1 else ''} {', '.join(paths)}. Reproduce with", "", "```sh",
            'pip install ".[bench]" numba torch==2.13.0',
            "env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE python bench/run.py --paths all --plot",
            "```", "",
            "Without `--paths` the bench times the path the module picks on the processor; `--paths all`"
            " times every path the processor allows, each in a child process with `QRL_CPU_FEATURES` set"
            " (see docs/instruction_sets.md). The machine is shared: times are the fastest of interleaved"
            " repeats, and each row says how busy other processes kept the cores.", "",
            "![Our speed-up over each peer by size](ratios.png)"]
    by_hand = [part for part in previous.split("\n## ")[1:] if not part.startswith("Path `")]
    text += [line for part in by_hand for line in ("", "## " + part.rstrip("\n"))]
    for path, run in results["paths"].items():
        lines = report(run).split("\n", 3)
        text += ["", f"## Path `{path}`", "", "```text", *lines[:3], "```", lines[3]]
    return "\n".join(text) + "\n"

if __name__ == "__main__":
    main()
