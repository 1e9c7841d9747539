"""Plot bench/results.json as bench/ratios.png: peer time / our time by size, one panel per function.

    python bench/plot.py [results.json] [ratios.png]

Above 1 our call is faster. Where a function has several variants at one size (baselines and
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
         "np.add": "0.4"}


def main(src: Path = HERE / "results.json", dst: Path = HERE / "ratios.png") -> None:
    results = json.loads(Path(src).read_text())
    by_func = defaultdict(lambda: defaultdict(lambda: defaultdict(list)))
    elementwise = {row["func"] for row in results["cases"] if row["elementwise"]}
    for row in results["cases"]:
        for peer, ratio in row["ratios"].items():
            by_func[row["func"]][peer][row["n"]].append(ratio)
    funcs = list(by_func)
    cols = 3
    rows = -(-len(funcs) // cols)
    fig, axes = plt.subplots(rows, cols, figsize=(5 * cols, 3.6 * rows), squeeze=False)
    for ax, func in zip(axes.flat, funcs):
        for peer, points in by_func[func].items():
            ns = sorted(points)
            mid = [statistics.median(points[n]) for n in ns]
            ax.plot(ns, mid, marker="o", color=STYLE.get(peer), label=peer,
                    linestyle=":" if peer == "np.add" else "-")
            if any(len(points[n]) > 1 for n in ns):
                ax.fill_between(ns, [min(points[n]) for n in ns], [max(points[n]) for n in ns],
                                color=STYLE.get(peer), alpha=0.15)
        ax.axhline(1.0, color="k", linewidth=0.8)
        if func in elementwise:
            ax.axhline(1 / 1.5, color="0.4", linewidth=0.8, linestyle="--", label="1.5x np.add")
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.xaxis.set_minor_formatter(NullFormatter())
        ax.set_title(func, fontsize=10)
        ax.set_xlabel("elements")
        ax.set_ylabel("peer time / our time")
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=7)
    for ax in axes.flat[len(funcs):]:
        ax.set_visible(False)
    meta = results["meta"]
    fig.suptitle(f"quorvale_rl_core {meta.get('git', '')}: peer time / our time (above 1: ours is "
                 f"faster), {meta.get('cpu', '')}, {meta.get('date', '')}", fontsize=10)
    fig.tight_layout()
    fig.savefig(dst, dpi=110)
    print(f"wrote {dst}")


if __name__ == "__main__":
    main(*map(Path, sys.argv[1:3]))
