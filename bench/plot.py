"""Plot bench/results.json as bench/ratios.png: peer time / our time by size, one panel per function.

    python bench/plot.py [results.json] [ratios.png]

One column per instruction-set path timed, one row per function. Above 1 our call is faster. Where a function has several variants at one size (baselines and
normalisation of group advantages, list or ndarray statistics) the line is their median and the
band spans their minimum and maximum.
"""

from __future__ import annotations

import json
import statistics
import sys
from collections import defaultdict
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.ticker import NullFormatter  # noqa: E402

HERE = Path(__file__).resolve().parent
STYLE = {"numpy": "C0", "torch": "C3", "py loop": "C2", "lfilter": "C4", "np time-loop": "C1",
         "numba": "C5", "np.add": "0.4", "libm exp": "C6", "chain limit": "C7"}


def main(src: Path = HERE / "results.json", dst: Path = HERE / "ratios.png") -> None:
    results = json.loads(Path(src).read_text())
    runs = results["paths"] if "paths" in results else {results["meta"].get("isa_path", "?"): results}
    panels = []  # (path, function, {peer: {n: [ratios]}}, element-wise)
    for path, run in runs.items():
        by_func = defaultdict(lambda: defaultdict(lambda: defaultdict(list)))
        elementwise = {row["func"] for row in run["cases"] if row["elementwise"]}
        for row in run["cases"]:
            for peer, ratio in row["ratios"].items():
                by_func[row["func"]][peer][row["n"]].append(ratio)
        panels += [(path, func, peers, func in elementwise) for func, peers in by_func.items()]
    cols = len(runs)
    rows = -(-len(panels) // cols)
    fig, axes = plt.subplots(rows, cols, figsize=(5 * cols, 3.3 * rows), squeeze=False)
    # One column per instruction-set path, one row per function.
    order = sorted(range(len(panels)), key=lambda i: (i % (len(panels) // cols), i // (len(panels) // cols)))
    for ax, (path, func, peers, is_elementwise) in zip(axes.flat, (panels[i] for i in order)):
        for peer, points in peers.items():
            ns = sorted(points)
            mid = [statistics.median(points[n]) for n in ns]
            ax.plot(ns, mid, marker="o", color=STYLE.get(peer), label=peer,
                    linestyle=":" if peer in ("np.add", "libm exp", "chain limit") else "-")
            if any(len(points[n]) > 1 for n in ns):
                ax.fill_between(ns, [min(points[n]) for n in ns], [max(points[n]) for n in ns],
                                color=STYLE.get(peer), alpha=0.15)
        ax.axhline(1.0, color="k", linewidth=0.8)
        if is_elementwise:
            ax.axhline(1 / 1.3, color="0.4", linewidth=0.8, linestyle="--", label="1.3x np.add")
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.xaxis.set_minor_formatter(NullFormatter())
        ax.set_title(f"{func} ({path})", fontsize=10)
        ax.set_xlabel("elements")
        ax.set_ylabel("peer time / our time")
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=7)
    for ax in axes.flat[len(panels):]:
        ax.set_visible(False)
    meta = results["meta"]
    fig.suptitle(f"quorvale_rl_core: peer time / our time (above 1: ours is faster) on the "
                 f"{', '.join(runs)} path{'s' if cols > 1 else ''}; {meta.get('cpu', '')}, "
                 f"{meta.get('date', '')}", fontsize=10)
    fig.tight_layout(rect=(0, 0, 1, 0.99))
    fig.savefig(dst, dpi=90)
    print(f"wrote {dst}")

if __name__ == "__main__":
    main(*map(Path, sys.argv[1:3]))
