#!/usr/bin/env python3
"""Draws bench/run's results as a chart: per corpus, one bar per peer giving our
program's median time over the peer's (below 1: ours is faster), the goal for
that peer as a line across its bar, and for the line corpora the peak-memory
ratio against mawk. A dot marks Vexolan with its output on a pipe.

  bench/chart.py RESULTS.json CHART.svg
"""
import json
import math
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

plt.rcParams["svg.fonttype"] = "none"   # text stays text: smaller, searchable

OURS_LABEL = {"vexolan": "Vexolan (terminal)", "quorith": "Quorith"}


def bars_for(corpus, tools, targets):
    """[(label, ratio, goal or None, met or None, pipe ratio or None, memory?)] of one corpus."""
    main = next((n for n, t in tools.items() if t["main"]), None)
    if main is None or tools[main]["wall_ms"] is None:
        return main, []
    pipe = tools.get("vexolan-pipe")
    goals = {(t["peer"], t["measure"]): t for t in targets if t["corpus"] == corpus and t["ours"] == main}
    out = []
    for name, t in tools.items():
        if t["ours"] or t["wall_ms"] is None:
            continue
        goal = goals.get((name, "wall"))
        pipe_ratio = pipe["wall_ms"] / t["wall_ms"] if pipe and pipe["wall_ms"] else None
        out.append((name, tools[main]["wall_ms"] / t["wall_ms"], goal and goal["limit"],
                    goal and goal["met"], pipe_ratio, False))
    mawk = tools.get("mawk")
    if mawk and mawk["rss_kib"] and tools[main]["rss_kib"]:
        goal = goals.get(("mawk", "rss"))
        out.append(("mawk RSS", tools[main]["rss_kib"] / mawk["rss_kib"], goal and goal["limit"],
                    goal and goal["met"], None, True))
    return main, out


def draw(data, path):
    summary, targets = data["summary"], data.get("targets", [])
    panels = [(c,) + bars_for(c, tools, targets) for c, tools in summary.items()]
    panels = [p for p in panels if p[2]]
    if not panels:
        return False
    cols = min(4, len(panels))
    rows = math.ceil(len(panels) / cols)
    fig, axes = plt.subplots(rows, cols, figsize=(4.2 * cols, 3.9 * rows), squeeze=False)
    colours = {True: "#4c9a5b", False: "#c8553d", None: "#6f8fb8"}
    for ax in axes.flat[len(panels):]:
        ax.axis("off")
    for ax, (corpus, main, bars) in zip(axes.flat, panels):
        xs = range(len(bars))
        top = max([1.2] + [b[1] for b in bars] + [b[2] or 0 for b in bars] + [b[4] or 0 for b in bars]) * 1.18
        ax.axhline(1.0, color="#888888", linewidth=0.8, linestyle=":")
        for x, (label, ratio, goal, met, pipe_ratio, memory) in zip(xs, bars):
            ax.bar(x, ratio, width=0.7, color=colours[met], hatch="//" if memory else None,
                   edgecolor="white" if memory else None)
            ax.text(x, max(ratio, pipe_ratio or 0) + top * 0.015, "%.2f" % ratio, ha="center", va="bottom",
                    fontsize=7)
            if goal is not None:
                ax.hlines(goal, x - 0.45, x + 0.45, colors="black", linewidth=1.6)
            if pipe_ratio is not None:
                ax.plot(x, pipe_ratio, marker="o", markersize=3.5, color="black")
        ax.set_xticks(list(xs))
        ax.set_xticklabels([b[0] for b in bars], rotation=45, ha="right", fontsize=8)
        ax.set_ylim(0, top)
        ax.set_title("%s: %s / peer" % (corpus, OURS_LABEL.get(main, main)), fontsize=9)
        ax.tick_params(axis="y", labelsize=8)
    handles = [
        plt.Rectangle((0, 0), 1, 1, color=colours[True], label="goal met"),
        plt.Rectangle((0, 0), 1, 1, color=colours[False], label="goal missed"),
        plt.Rectangle((0, 0), 1, 1, color=colours[None], label="no goal"),
        plt.Line2D([], [], color="black", linewidth=1.6, label="goal (ratio at most)"),
        plt.Line2D([], [], color="black", marker="o", linestyle="", markersize=3.5,
                   label="Vexolan, output on a pipe"),
        plt.Rectangle((0, 0), 1, 1, facecolor="#aaaaaa", hatch="//", edgecolor="white",
                      label="peak memory, not time"),
    ]
    fig.legend(handles=handles, loc="lower center", ncol=6, fontsize=8, frameon=False)
    env = data.get("environment", {})
    fig.suptitle("Median time of ours / peer (below 1: ours is faster) — %s, %s, scale %g" % (
        env.get("date", "?"), env.get("commit", "?"), env.get("scale", 1)), fontsize=10)
    fig.tight_layout(rect=(0, 0.05, 1, 0.96))
    fig.savefig(path, metadata={"Date": None} if path.endswith(".svg") else None)
    plt.close(fig)
    return True


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__.strip().splitlines()[-1].strip())
    with open(sys.argv[1]) as fh:
        data = json.load(fh)
    return 0 if draw(data, sys.argv[2]) else 1


if __name__ == "__main__":
    sys.exit(main())
