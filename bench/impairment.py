#!/usr/bin/env python3
"""Voice under impaired networks, measured with corvane-client.

1. Residual loss and E-model MOS against uplink loss for a 1 -> 5 room of the forwarding
   server (nack_enabled = 1): random uplink loss of 0 to 20%, and the `cellular` preset's
   uplink bursts (3% in bursts of mean length 3, 40 ms jitter with reordering), each
   without protection, with FEC only (k=4 r=2, k=4 r=1: the receivers decode), with NACK
   only (blocks of k=4 without repairs, so that the server keeps what it forwards) and
   with FEC and NACK. One short run per point.
2. The mixing server's added delay per second after a 200 ms stall (a burst of 10 frames)
   and after a 500 ms stall on a speaker's way, for one or two server binaries (the
   mixer before and after the drain rule).

    bench/impairment.py BUILD_DIR OUT_PREFIX [--before-mfu BINARY] [--duration S]

Writes OUT_PREFIX.json, OUT_PREFIX.md and OUT_PREFIX.svg. Every process listens on
127.0.0.1 only and is stopped by its PID.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile

import forwarding as fw

LOSSES = (0, 1, 2, 5, 10, 15, 20)
MODES = (
    ("none", "no protection", []),
    ("fec42", "FEC k=4 r=2", ["--fec-k", "4", "--fec-r", "2"]),
    ("fec41", "FEC k=4 r=1", ["--fec-k", "4", "--fec-r", "1"]),
    ("nack", "NACK only", ["--fec-k", "4", "--fec-r", "0", "--nack"]),
    ("fecnack", "FEC k=4 r=2 + NACK", ["--fec-k", "4", "--fec-r", "2", "--nack"]),
    ("srvfec", "FEC k=4 r=2 decoded by the server only + NACK",
     ["--fec-k", "4", "--fec-r", "2", "--nack", "--no-receiver-fec"]),
)
CELLULAR_UPLINK = "burst=3:3,jitter=40,reorder"


def room(path, speakers, listeners):
    with open(path, "w") as f:
        user = 1000
        for _ in range(speakers):
            f.write(f"room 1 user {user} speaker tok-{user}\n")
            user += 1
        for _ in range(listeners):
            f.write(f"room 1 user {user} listener tok-{user}\n")
            user += 1


def client(bins, target, roster, duration, extra, first_seq):
    # Each run numbers far from the last one: the server takes it for a restart.
    cmd = [bins["client"], "--server", target.address, "--users", roster, "--duration",
           str(duration), "--quiet", "--json", "--first-seq", str(first_seq), *extra]
    out = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                         timeout=duration + 60)
    if not out.stdout.strip():
        raise RuntimeError(f"corvane-client gave no result: {out.stderr.strip()[-500:]}")
    return json.loads(out.stdout)


def listener_quality(result):
    return result["roles"]["listener"]["quality"]


def loss_sweep(bins, work, duration):
    roster = os.path.join(work, "room.txt")
    room(roster, 1, 5)

    class Forwarder(fw.Server):
        extra_config = "nack_enabled = 1\n"

    target = Forwarder(bins, work, roster, 3600)
    target.start()
    points = []
    first_seq = 1
    try:
        for uplink in [f"loss={p}" for p in LOSSES] + [CELLULAR_UPLINK]:
            for key, _, args in MODES:
                first_seq += 1000000
                extra = ["--uplink", uplink, *args]
                result = client(bins, target, roster, duration, extra, first_seq)
                q = listener_quality(result)
                point = {"uplink": uplink, "mode": key, "frames": q["frames"],
                         "played": q["played"], "by_fec": q["by_fec"], "by_nack": q["by_nack"],
                         "late": q["late"], "lost": q["lost"],
                         "residual_percent": q["residual_percent"], "r": q["r"],
                         "mos": q["mos"], "server_p99_ms": q["server_delay_ms"]["p99"]}
                fw.log(f"{uplink:28s} {key:8s} residual {point['residual_percent']:7.3f}% "
                       f"MOS {point['mos']:.2f}")
                points.append(point)
    finally:
        target.stop()
    return points


def mixer_delay(bins, work, duration, programs):
    roster = os.path.join(work, "mixroom.txt")
    room(roster, 1, 3)
    series = {}
    for name, program in programs:

        class Mixer(fw.Server):
            extra_config = "mixer_frame_log = 0\n"

        Mixer.program = program
        for stall in (200, 500):
            target = Mixer(bins, work, roster, 3600)
            target.start()
            try:
                # The stall begins 3 s into the run.
                result = client(bins, target, roster, duration,
                                ["--mixer", "--uplink", f"stall={stall}/6000"], 1)
            finally:
                target.stop()
            q = listener_quality(result)
            series[f"{name} {stall} ms"] = q["server_delay_ms"]["max_by_second"]
            fw.log(f"mixer {name} stall {stall} ms: " +
                   " ".join(f"{v:.0f}" for v in series[f"{name} {stall} ms"]))
    return series


def markdown(points, series, duration):
    lines = [f"# Voice under impaired networks (one {duration} s run per point)", "",
             "Forwarding server with nack_enabled = 1, one speaker and five listeners, "
             "50 frames/s; uplink conditions on the speaker's voice only; playout 150 ms "
             "after sending; E-model as in README (G.711 with PLC: Ie 0, Bpl 25.1).", "",
             "Residual loss (lost for good + too late) in % of the frames the listeners "
             "expected, and MOS:", ""]
    header = "| uplink | " + " | ".join(label for _, label, _ in MODES) + " |"
    lines += [header, "|---" * (len(MODES) + 1) + "|"]
    uplinks = []
    for p in points:
        if p["uplink"] not in uplinks:
            uplinks.append(p["uplink"])
    for uplink in uplinks:
        cells = []
        for key, _, _ in MODES:
            p = next(x for x in points if x["uplink"] == uplink and x["mode"] == key)
            cells.append(f"{p['residual_percent']:.2f}% / {p['mos']:.2f}")
        name = "cellular bursts (3% in runs of 3)" if uplink == CELLULAR_UPLINK else uplink
        lines.append(f"| {name} | " + " | ".join(cells) + " |")
    lines += ["", "Mixing server: the largest delay it added per second of the run (ms), "
              "a stall on the speaker's way 3 s into the run:", ""]
    width = max(len(v) for v in series.values())
    lines += ["| run | " + " | ".join(f"{s} s" for s in range(width)) + " |",
              "|---" * (width + 1) + "|"]
    for name, values in series.items():
        lines.append(f"| {name} | " + " | ".join(f"{v:.0f}" for v in values) + " |")
    return "\n".join(lines) + "\n"


def plot(points, series, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    fig, axes = plt.subplots(1, 3, figsize=(16, 4.5))
    for key, label, _ in MODES:
        xs, res, mos = [], [], []
        for p in points:
            if p["mode"] == key and p["uplink"].startswith("loss="):
                xs.append(float(p["uplink"][5:]))
                res.append(p["residual_percent"])
                mos.append(p["mos"])
        line = axes[0].plot(xs, res, marker="o", label=label)[0]
        axes[1].plot(xs, mos, marker="o", label=label, color=line.get_color())
        cell = next(p for p in points if p["mode"] == key and p["uplink"] == CELLULAR_UPLINK)
        axes[0].scatter([3], [cell["residual_percent"]], marker="x", s=80,
                        color=line.get_color())
        axes[1].scatter([3], [cell["mos"]], marker="x", s=80, color=line.get_color())
    axes[0].set(xlabel="random uplink loss (%); x: cellular bursts",
                ylabel="residual loss (%)", title="1 -> 5, forwarding server")
    axes[1].set(xlabel="random uplink loss (%); x: cellular bursts", ylabel="MOS (E-model)",
                title="estimated call quality")
    axes[0].legend(fontsize=8)
    for name, values in series.items():
        axes[2].plot(range(len(values)), values, marker=".", label=name)
    axes[2].set(xlabel="second of the run", ylabel="largest added delay (ms)",
                title="mixer after a stall at 3 s")
    axes[2].legend(fontsize=8)
    for ax in axes:
        ax.grid(True, alpha=0.3)
    fig.tight_layout()
    fig.savefig(path)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("out")
    parser.add_argument("--before-mfu", default="")
    parser.add_argument("--duration", type=float, default=4)
    parser.add_argument("--mixer-duration", type=float, default=9)
    parser.add_argument("--plot-only", action="store_true",
                        help="plot OUT_PREFIX.json again (e.g. with the system's python3, "
                        "which has matplotlib)")
    parser.add_argument("--mixer-from", default="",
                        help="take the mixer series from this earlier JSON instead of running")
    args = parser.parse_args()
    if args.plot_only:
        with open(args.out + ".json") as f:
            data = json.load(f)
        plot(data["points"], data["mixer_delay_by_second_ms"], args.out + ".svg")
        return 0
    bins = {"server": os.path.join(args.build, "src/corvane-sfu-server"),
            "mfu": os.path.join(args.build, "src/corvane-mfu-server"),
            "gateway": os.path.join(args.build, "tools/corvane-gateway"),
            "client": os.path.join(args.build, "tools/corvane-client")}
    programs = []
    if args.before_mfu:
        bins["mfu_before"] = args.before_mfu
        programs.append(("before", "mfu_before"))
    programs.append(("after", "mfu"))
    with tempfile.TemporaryDirectory(prefix="corvane-impair-") as work:
        points = loss_sweep(bins, work, args.duration)
        if args.mixer_from:
            with open(args.mixer_from) as f:
                series = json.load(f)["mixer_delay_by_second_ms"]
        else:
            series = mixer_delay(bins, work, args.mixer_duration, programs)
    with open(args.out + ".json", "w") as f:
        json.dump({"points": points, "mixer_delay_by_second_ms": series}, f, indent=1)
    with open(args.out + ".md", "w") as f:
        f.write(markdown(points, series, args.duration))
    try:
        plot(points, series, args.out + ".svg")
    except ImportError:
        fw.log("no matplotlib here: run again with --plot-only under the system's python3")
    return 0


if __name__ == "__main__":
    sys.exit(main())
