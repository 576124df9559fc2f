#!/usr/bin/env python3
"""SVG plots of benchmark results. Forwarding: for each scenario, the forwarded
rate and the p99 latency against the offered load, every target (baseline,
server, and the extra ones of the run) on the same axes, the overload step of
each as a triangle. Mixing: frames delivered and lateness against the number
of rooms.

    bench/plot.py RESULTS.json [OUT.svg]

Reads the JSON that bench/forwarding.py or bench/mixer.py writes and
writes OUT.svg (default: beside the JSON). Needs Debian's python3-matplotlib.
"""

import json
import os
import sys

# Colours of the forwarders, in the order they are drawn; targets not named here take
# the next free colour of EXTRA_COLOURS.
COLOURS = {"baseline": "#7f7f7f", "corvane": "#1f77b4", "corvane pool": "#ff7f0e",
           "before": "#9467bd", "corvane+metrics": "#2ca02c"}
EXTRA_COLOURS = ("#8c564b", "#e377c2", "#17becf", "#bcbd22")


def forwarding_series(report):
    """(name, colour) of every target of the run: the report's own list where it has one,
    else (older results) the targets found in its scenarios."""
    names = [t["name"] for t in report.get("targets", [])]
    for data in report.get("scenarios", {}).values():
        names += [n for n, v in data.items() if isinstance(v, dict) and "runs" in v
                  and n not in names]
    order = list(COLOURS)
    names.sort(key=lambda n: order.index(n) if n in order else len(order))
    others = [n for n in names if n not in COLOURS]
    return [(n, COLOURS.get(n) or EXTRA_COLOURS[others.index(n) % len(EXTRA_COLOURS)])
            for n in names]


def scenario_title(key, data):
    titles = {"s10": "1 speaker -> 10 listeners", "s200": "1 speaker -> 200 listeners",
              "rooms": "100 rooms x (2 speakers + 8 listeners)"}
    return titles.get(key, data.get("title", key))


def plot_forwarding(report, out_path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    series = forwarding_series(report)
    scenarios = [(k, v) for k, v in report.get("scenarios", {}).items()
                 if any(v.get(name, {}).get("runs") for name, _ in series)]
    if not scenarios:
        return False
    fig, axes = plt.subplots(2, len(scenarios), figsize=(5.2 * len(scenarios), 7.5),
                             squeeze=False)
    for column, (key, data) in enumerate(scenarios):
        rate_axis, latency_axis = axes[0][column], axes[1][column]
        for name, colour in series:
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
                over = run.get("overload")
                if over:
                    rate_axis.plot([over["offered"]], [over["forwarded_per_s"]], "^",
                                   color=colour, markersize=6)
                    latency_axis.plot([over["offered"]], [max(over["p99_ms"], 1e-3)], "^",
                                      color=colour, markersize=6)
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
                 f"(x: a step that was not clean; triangle: the overload step; "
                 f"dotted: 20 ms, the p99.9 limit of a clean step)", fontsize=11)
    fig.tight_layout()
    fig.savefig(out_path, format="svg")
    plt.close(fig)
    return True


def plot_mixer(report, out_path):
    """Rooms carried by each server: frames delivered and lateness against rooms."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    series = [(name, data) for name, data in report.get("rooms", {}).items() if data.get("steps")]
    if not series:
        return False
    colours = ["#1f77b4", "#2ca02c", "#7f7f7f", "#ff7f0e"]
    fig, (delivered_axis, late_axis) = plt.subplots(1, 2, figsize=(11, 4.2))
    for index, (name, data) in enumerate(series):
        steps = sorted(data["steps"], key=lambda s: s["rooms"])
        colour = colours[index % len(colours)]
        rooms = [s["rooms"] for s in steps]
        delivered_axis.plot(rooms, [100 * s["delivered"] for s in steps], "o-", color=colour,
                            label=name, markersize=3)
        late = [(s["rooms"], s.get("lateness_p99_ms") if s.get("lateness_p99_ms") is not None
                 else s.get("p999_ms")) for s in steps]
        late_axis.plot([r for r, v in late if v is not None], [v for r, v in late if v is not None],
                       "o-", color=colour, markersize=3,
                       label=name + (" (p99.9 latency)" if name == "sfu" else " (pass lateness p99)"))
        dirty = [s for s in steps if not s.get("clean", True)]
        delivered_axis.plot([s["rooms"] for s in dirty], [100 * s["delivered"] for s in dirty],
                            "x", color="#d62728")
    delivered_axis.set_ylabel("chosen frames delivered, %")
    late_axis.set_ylabel("ms (log)")
    late_axis.set_yscale("log")
    late_axis.axhline(2.0, color="#d62728", linewidth=0.8, linestyle=":")
    for axis in (delivered_axis, late_axis):
        axis.set_xlabel("rooms of 4 speakers + 4 listeners, 50 frames/s per speaker")
        axis.grid(True, alpha=0.3)
        axis.legend(fontsize=8)
    fig.suptitle(f"Mixing benchmark, {report.get('date', '')} "
                 "(x: a room count not carried; dotted: 2 ms)", fontsize=11)
    fig.tight_layout()
    fig.savefig(out_path, format="svg")
    plt.close(fig)
    return True


def write_svg(report, out_path):
    """The plot that fits the report (forwarding or mixing) at out_path; False
    when the report has nothing to plot. Raises ImportError without matplotlib."""
    if "rooms" in report and "scenarios" not in report:
        return plot_mixer(report, out_path)
    return plot_forwarding(report, out_path)


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    source = sys.argv[1]
    out = sys.argv[2] if len(sys.argv) > 2 else os.path.splitext(source)[0] + ".svg"
    with open(source) as f:
        report = json.load(f)
    if not write_svg(report, out):
        sys.exit(f"plot: nothing to plot in {source}")
    print(f"plot: {out}")


if __name__ == "__main__":
    main()
