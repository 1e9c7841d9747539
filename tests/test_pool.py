# The worker pool under pressure: refused threads, many callers, fork, idleness.
import numpy as np
import pytest

import quorvale_rl_core as q
from conftest import SANITIZER
from processes import run_ok

NOT_STARTED = "The global thread pool has not been initialized."
SCALE = 10 if SANITIZER else 1  # sanitizers make each call several times slower

# A subprocess that may create only `room` more threads: it drops to an unprivileged user (root ignores
# RLIMIT_NPROC), then calls on a pool of four.
LIMITED = """
import os, resource, time, numpy as np, quorvale_rl_core as q
def threads():
    return len(os.listdir("/proc/self/task"))
x = np.linspace(-1.0, 1.0, 200_000)
os.setgid(65534)
os.setuid(65534)
hard = resource.getrlimit(resource.RLIMIT_NPROC)[1]
before = threads()
resource.setrlimit(resource.RLIMIT_NPROC, (before + {room}, hard))
for call in (lambda: q.compute_ppo_surrogate(x, x).sum(), lambda: q.compute_ppo_surrogate(x[:0], x[:0]).size):
    try:
        print("result", call())
    except BaseException as e:
        print(type(e).__name__, isinstance(e, Exception), str(e))
    resource.setrlimit(resource.RLIMIT_NPROC, (hard, hard))  # room again: a failed pool stays failed
for _ in range(100):  # joined threads leave /proc shortly after
    if threads() == before:
        break
    time.sleep(0.01)
print("extra threads", threads() - before)
"""


@pytest.mark.parametrize("room", [0, 1, 3, 10])
def test_thread_limits(room):
    """None, one or some of four threads can start: no abort, the same failure every time; enough room works."""
    lines = run_ok(LIMITED.format(room=room), {"RAYON_NUM_THREADS": "4"}).splitlines()
    if room >= 4 + (SANITIZER == "thread"):  # ThreadSanitizer may take one slot for a thread of its own
        x = np.linspace(-1.0, 1.0, 200_000)
        assert lines[:2] == [f"result {q.compute_ppo_surrogate(x, x).sum()}", "result 0"], lines
        assert lines[2] in ("extra threads 4", "extra threads 5" if SANITIZER == "thread" else ""), lines
        return
    first, second, extra = lines
    assert first == second and extra in ("extra threads 0", "extra threads 1" if SANITIZER == "thread" else ""), lines
    name, is_exception, message = first.split(" ", 2)
    assert (name, is_exception) == ("PanicException", "False") and message.startswith(NOT_STARTED + ": "), first
    assert "Resource temporarily unavailable" in message, first


# Mixed sizes from several Python threads at once, bound failures in the workers among them, checked against results
# computed beforehand; then the
# same in a forked child and a forked grandchild. Prints thread counts and resident memory along the way.
STRESS = """
import os, sys, threading, time, numpy as np, quorvale_rl_core as q
rng = np.random.default_rng(5)
def case(size):
    x, y, lengths = rng.normal(size=size), rng.normal(size=size), rng.integers(-2, 40, size)
    m, rows = rng.normal(size=(max(1, size // 16), 16)), [rng.normal(size=k) for k in rng.integers(0, 300, size // 64 + 1)]
    return [lambda: q.compute_ppo_surrogate(np.exp(x / 10), y), lambda: q.apply_gspo_clipping(np.exp(x / 10), y),
            lambda: failure(lambda: q.compute_ppo_surrogate(x, y, -0.1)),  # bounds refused in the workers
            lambda: q.compute_gspo_importance_ratios(x, y, lengths),
            lambda: q.compute_group_advantages(m, "median", True), lambda: q.batch_compute_gae(rows, rows)]
def failure(call):
    try:
        return call()
    except BaseException as e:
        return " ".join([type(e).__name__, str(isinstance(e, Exception)), str(e)])
jobs = [job for size in (0, 1, 100, 3000, 20_000, 100_000) for job in case(size)]
expected = [job() for job in jobs]
def same(a, b):
    return all(map(same, a, b)) if isinstance(a, list) else a == b if isinstance(a, str) else np.array_equal(a, b, equal_nan=True)
def hammer(seed, calls, errors):
    local = np.random.default_rng(seed)
    for _ in range(calls):
        i = int(local.integers(len(jobs)))
        if not same(jobs[i](), expected[i]):
            errors.append(i)
def stress(calls):
    errors = []
    workers = [threading.Thread(target=hammer, args=(s, calls, errors)) for s in range(4)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    return len(errors)
def threads(settle_to=None):  # a joined thread leaves /proc shortly after: the count wanted, or one steady for 0.1 s
    seen = []
    for _ in range(100):
        seen.append(len(os.listdir("/proc/self/task")))
        if seen[-1] == settle_to or (settle_to is None and seen[-10:] == [seen[-1]] * 10):
            break
        time.sleep(0.01)
    return seen[-1]
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
def forked(depth):
    pid = os.fork()
    if pid == 0:  # only the forking thread, then a pool of the child's own
        alone = threads()
        print(depth, stress({calls} // 4), alone, threads(alone + {threads}) - alone, flush=True)
        os._exit(forked("grandchild") if depth == "child" else 0)
    return os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
assert expected[-4] == "PanicException False min > max, or either was NaN. min = 1.1, max = 0.9", expected[-4]
stress({calls} // 4)  # warm-up: the pool, the allocator and caches settle
tasks, memory = threads(), rss()
print("parent", stress({calls}), threads(tasks) - tasks, (rss() - memory) >> 20, flush=True)
print("exit", forked("child"), stress({calls} // 4), threads(tasks) - tasks)  # the parent keeps its pool
"""


@pytest.mark.parametrize("threads", ["1", "2", "3", "8"])
def test_stress_threads_and_fork(threads):
    """Many parallel calls of mixed sizes from four Python threads, and in a forked child and grandchild, each with
    a new pool of its own; the parent's pool kept, no second one started."""
    lines = run_ok(STRESS.format(calls=240 // SCALE, threads=threads), {"RAYON_NUM_THREADS": threads}, timeout=900).splitlines()
    parent = lines[0].split()
    assert parent[:3] == ["parent", "0", "0"], lines  # exact results, no thread started or lost
    assert SANITIZER or int(parent[3]) < 16, lines  # resident memory stable (MiB)
    slack = (0, 1) if SANITIZER == "thread" else (0,)  # ThreadSanitizer may start a thread of its own
    for line, depth in zip(lines[1:3], ["child", "grandchild"]):
        assert line.split()[:3] == [depth, "0", "1"] and int(line.split()[3]) - int(threads) in slack, lines
    assert lines[3] == "exit 0 0 0", lines


def test_idle_process_uses_no_cpu():
    """After a parallel call the workers sleep: one second of idleness costs (almost) no processor time."""
    ticks = int(run_ok("""
    import os, time, numpy as np, quorvale_rl_core as q
    x = np.ones(1_000_000)
    for _ in range(50):
        q.compute_ppo_surrogate(x, x)
    time.sleep(0.1)  # past the workers' brief spin
    def cpu():
        with open("/proc/self/stat") as f:
            fields = f.read().rpartition(")")[2].split()
        return int(fields[11]) + int(fields[12])  # utime + stime of all threads, in clock ticks
    start = cpu()
    time.sleep(1.0)
    print(cpu() - start)
    """, {"RAYON_NUM_THREADS": "2"}))
    assert ticks <= (5 if SANITIZER else 1), ticks  # a tick is 1/100 s
