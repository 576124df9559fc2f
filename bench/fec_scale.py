#!/usr/bin/env python3
"""FEC decoding at scale: corvane-sfu-server with nack_enabled = 0 and with nack_enabled = 1
under the same corvane-client load of FEC-sending speakers, alternated off, on, off, on in one
run; the figure is the server process's CPU with the switch on over the CPU with it off.

  bench/fec_scale.py --build build/release --out bench/results

Every process listens on 127.0.0.1 only, runs for a bounded time and is stopped by its PID.
"""

import argparse
import datetime
import json
import os
import signal
import statistics
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import forwarding  # noqa: E402  (the server, gateway and client drivers)


class NackServer(forwarding.Server):
    def __init__(self, enabled, *args):
        super().__init__(*args)
        self.enabled = enabled
        self.name = f"nack_enabled={enabled}"
        self.extra_config = f"nack_enabled = {enabled}\n"


def main():
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", required=True, help="build directory with the programs")
    parser.add_argument("--out", required=True, help="directory for the results")
    parser.add_argument("--server-bin", help="corvane-sfu-server to measure instead")
    parser.add_argument("--tools", help="directory with corvane-client and corvane-gateway")
    parser.add_argument("--rooms", type=int, default=500)
    parser.add_argument("--speakers", type=int, default=2, help="speakers per room")
    parser.add_argument("--k", type=int, default=4, help="source datagrams per block")
    parser.add_argument("--r", type=int, default=1, help="repair datagrams per block")
    parser.add_argument("--rate", type=int, default=40,
                        help="media datagrams/s per speaker (FEC datagrams: rate * (k+r)/k)")
    parser.add_argument("--loss", type=float, default=2.0, help="percent of FEC datagrams lost")
    parser.add_argument("--nack", action="store_true", help="receivers NACK what they miss")
    parser.add_argument("--duration", type=float, default=20.0, help="seconds per run")
    parser.add_argument("--reps", type=int, default=2, help="off/on pairs")
    parser.add_argument("--label", default="")
    args = parser.parse_args()

    tools = args.tools or os.path.join(args.build, "tools")
    bins = {
        "server": args.server_bin or os.path.join(args.build, "src", "corvane-sfu-server"),
        "gateway": os.path.join(tools, "corvane-gateway"),
        "client": os.path.join(tools, "corvane-client"),
    }
    for path in bins.values():
        if not os.access(path, os.X_OK):
            sys.exit(f"fec_scale: {path} is missing; build first")

    work = tempfile.mkdtemp(prefix="corvane-fec-scale-")
    roster = os.path.join(work, "roster.txt")
    forwarding.make_roster(bins, roster, args.rooms, args.speakers, 0)
    speakers = args.rooms * args.speakers
    payload = forwarding.DATAGRAM_BYTES - 16 - forwarding.token_bytes(roster)
    extra = ["--fec-k", str(args.k), "--fec-r", str(args.r), "--loss", str(args.loss)]
    if args.nack:
        extra.append("--nack")
    fec_rate = args.rate * (args.k + args.r) / args.k

    runs = {0: [], 1: []}
    for rep in range(args.reps):
        for enabled in (0, 1):
            target = NackServer(enabled, bins, work, roster, int(args.duration) + 300)
            forwarding.log(f"{target.name}, pair {rep + 1} of {args.reps}")
            try:
                target.start()
                result = forwarding.run_client(bins, target, roster, args.rate, args.duration,
                                               payload, extra)
                result["rss_kib"] = forwarding.rss_kib(target.pid)
            finally:
                target.stop()
            forwarding.log(f"  cpu {result['cpu_s']:.2f} s, forwarded {result['forwarded']}, "
                           f"loss {result['loss_percent']:.3f}%, rss {result['rss_kib']} KiB")
            runs[enabled].append(result)
            time.sleep(1)

    def med(enabled, key):
        return statistics.median(r[key] for r in runs[enabled])

    def per(enabled):
        return statistics.median(r["cpu_s"] / max(r["forwarded"], 1) * 1e6 for r in runs[enabled])

    off_cpu, on_cpu = med(0, "cpu_s"), med(1, "cpu_s")
    pairs = [on["cpu_s"] / off["cpu_s"] for off, on in zip(runs[0], runs[1])]
    report = {
        "date": datetime.datetime.now().strftime("%Y-%m-%d %H:%M"),
        "machine": forwarding.machine(),
        "speakers": speakers,
        "rooms": args.rooms,
        "k": args.k, "r": args.r, "media_rate": args.rate, "fec_rate": fec_rate,
        "loss_percent": args.loss, "nack": args.nack, "duration_s": args.duration,
        "runs": {"off": runs[0], "on": runs[1]},
        "cpu_off_s": off_cpu, "cpu_on_s": on_cpu, "ratio": on_cpu / off_cpu,
        "pair_ratios": pairs, "per_datagram_ratio": per(1) / per(0),
    }
    name = "fec_scale" + (f"-{args.label}" if args.label else "")
    os.makedirs(args.out, exist_ok=True)
    with open(os.path.join(args.out, name + ".json"), "w") as f:
        json.dump(report, f, indent=1)
    m = report["machine"]
    lines = [
        f"# FEC decoding at scale ({report['date']})",
        "",
        f"Machine: {m['cpu']}, {m['cores']} cores, Linux {m['kernel']}.",
        f"{speakers} speakers ({args.rooms} rooms of {args.speakers}, every speaker hears the"
        f" others of its room), blocks of k={args.k} r={args.r}, {args.rate} media datagrams/s"
        f" = {fec_rate:g} FEC datagrams/s per speaker, {args.loss:g}% of FEC datagrams lost on"
        f" the way in{', receivers NACK what they miss' if args.nack else ''}; {args.duration:g} s"
        f" of traffic per run, {args.reps} off/on pairs alternated in one run, medians.",
        "",
        "| | nack_enabled = 0 | nack_enabled = 1 |",
        "|---|---|---|",
        f"| server CPU (s) | {off_cpu:.2f} | {on_cpu:.2f} |",
        f"| datagrams forwarded | {med(0, 'forwarded'):.0f} | {med(1, 'forwarded'):.0f} |",
        f"| server CPU per forwarded datagram (µs) | {per(0):.1f} | {per(1):.1f} |",
        f"| resident memory after the run (MiB) | {med(0, 'rss_kib') / 1024:.0f} |"
        f" {med(1, 'rss_kib') / 1024:.0f} |",
        "",
        f"CPU ratio on / off: **{report['ratio']:.2f}** (target: at most 1.3); per forwarded"
        f" datagram {report['per_datagram_ratio']:.2f}.",
        "",
        "Every run (CPU s, forwarded, receivers' loss %): " + "; ".join(
            f"{'on' if e else 'off'} {r['cpu_s']:.2f} s, {r['forwarded']}, "
            f"{r['loss_percent']:.2f}%" for e in (0, 1) for r in runs[e]) + ".",
        "Ratio of each pair: " + ", ".join(f"{p:.2f}" for p in pairs) + ".",
        "",
    ]
    with open(os.path.join(args.out, name + ".md"), "w") as f:
        f.write("\n".join(lines))
    print("\n".join(lines))


if __name__ == "__main__":
    main()
