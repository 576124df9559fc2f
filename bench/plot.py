#!/usr/bin/env python3
"""SVG plots of benchmark results: for each scenario, the forwarded rate and the
p99 latency against the offered load, baseline and server on the same axes.

    bench/plot.py RESULTS.json [OUT.svg]

Reads the JSON that bench/forwarding.py writes (every step of every sweep) and
writes OUT.svg (default: beside the JSON). Needs Debian's python3-matplotlib.
"""

import json
import os
import sys

# Forwarders in the order they are drawn, with their colours.
SERIES = (("baseline", "#7f7f7f"), ("corvane", "#1f77b4"), ("corvane+metrics", "#2ca02c"))


def scenario_title(key, data):
    titles = {"s10": "1 speaker -> 10 listeners", "s200": "1 speaker -> 200 listeners",
              "rooms": "100 rooms x (2 speakers + 8 listeners)"}
    return titles.get(key, data.get("title", key))


def plot_forwarding(report, out_path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    scenarios = [(k, v) for k, v in report.get("scenarios", {}).items()
                 if any(v.get(name, {}).get("runs") for name, _ in SERIES)]
    if not scenarios:
        return False
    fig, axes = plt.subplots(2, len(scenarios), figsize=(5.2 * len(scenarios), 7.5),
                             squeeze=False)
    for column, (key, data) in enumerate(scenarios):
        rate_axis, latency_axis = axes[0][column], axes[1][column]
        for name, colour in SERIES:
            for index, run in enumerate(data.get(name, {}).get("runs", [])):
                steps = sorted(run.get("steps", []), key=lambda s: s["offered"])
                if not steps:
                    continue
                offered = [s["offered"] for s in steps]
                label = name if index == 0 else None
                rate_axis.plot(offered, [s["forwarded_per_s"] for s in steps], "o-",
                               color=colour, alpha=0.8, markersize=3, label=label)
                latency_axis.plot(offered, [max(s["p99_ms"], 1e-3) for s in steps], "o-",
                                  color=colour, alpha=0.8, markersize=3, label=label)
                dirty = [s for s in steps if not s.get("clean", True)]
                rate_axis.plot([s["offered"] for s in dirty],
                               [s["forwarded_per_s"] for s in dirty], "x", color="#d62728")
        rate_axis.set_title(scenario_title(key, data), fontsize=10)
        rate_axis.set_ylabel("forwarded datagrams/s")
        latency_axis.set_ylabel("p99 latency, ms (log)")
        latency_axis.set_yscale("log")
        latency_axis.axhline(20, color="#d62728", linewidth=0.8, linestyle=":")
        for axis in (rate_axis, latency_axis):
            axis.set_xlabel("offered datagrams/s per speaker")
            axis.grid(True, alpha=0.3)
            axis.legend(fontsize=8)
    fig.suptitle(f"Forwarding benchmark, {report.get('date', '')} "
                 f"(x: a step that was not clean; dotted: 20 ms, the p99.9 limit of a clean step)", fontsize=11)
    fig.tight_layout()
    fig.savefig(out_path, format="svg")
    plt.close(fig)
    return True


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    source = sys.argv[1]
    out = sys.argv[2] if len(sys.argv) > 2 else os.path.splitext(source)[0] + ".svg"
    with open(source) as f:
        report = json.load(f)
    if not plot_forwarding(report, out):
        sys.exit(f"plot: nothing to plot in {source}")
    print(f"plot: {out}")


if __name__ == "__main__":
    main()
