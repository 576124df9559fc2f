#!/usr/bin/env python3
"""Profiles corvane-sfu-server (or the baseline relay) under one corvane-client load.

    bench/profile_forwarding.py --build build/perf --listeners 10 --rate 8000 --seconds 5 \
        [--target corvane|baseline] [--tool perf|callgrind] [--out DIR]

perf: `perf record -e cpu-clock -g` on the running process for the whole load, then a report
sorted by self time (this machine has no hardware counters, so cpu-clock sampling). stat:
`perf stat` counts system calls, context switches and CPU time of the process over the load,
printed per forwarded datagram. callgrind: the server runs under valgrind for the load (much
slower: use a low rate).
"""

import argparse
import os
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import forwarding  # noqa: E402


class ValgrindServer(forwarding.Server):
    """The server started under callgrind instead of directly."""

    def __init__(self, *args, out_dir):
        super().__init__(*args)
        self.out_dir = out_dir

    def start(self):
        real = self.bins["server"]
        wrapper = os.path.join(self.work, "server-under-callgrind")
        with open(wrapper, "w") as f:
            f.write("#!/bin/sh\nexec valgrind --tool=callgrind --separate-threads=no "
                    f"--callgrind-out-file={self.out_dir}/callgrind.out {real} \"$@\"\n")
        os.chmod(wrapper, 0o755)
        self.bins = dict(self.bins, server=wrapper)
        super().start()


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", required=True)
    parser.add_argument("--target", choices=["corvane", "baseline"], default="corvane")
    parser.add_argument("--tool", choices=["perf", "stat", "callgrind"], default="perf")
    parser.add_argument("--rooms", type=int, default=1)
    parser.add_argument("--speakers", type=int, default=1)
    parser.add_argument("--listeners", type=int, default=10)
    parser.add_argument("--rate", type=int, default=5000)
    parser.add_argument("--seconds", type=float, default=5)
    parser.add_argument("--out", default=None)
    parser.add_argument("--server-bin", help="another corvane-sfu-server to profile")
    args = parser.parse_args()

    bins = {
        "server": os.path.join(args.build, "src", "corvane-sfu-server"),
        "gateway": os.path.join(args.build, "tools", "corvane-gateway"),
        "client": os.path.join(args.build, "tools", "corvane-client"),
        "relay": os.path.join(args.build, "bench", "baseline_relay"),
    }
    if args.server_bin:
        bins["server"] = os.path.abspath(args.server_bin)
    work = tempfile.mkdtemp(prefix="corvane-profile-")
    out = args.out or work
    os.makedirs(out, exist_ok=True)
    roster = os.path.join(work, "roster.txt")
    forwarding.make_roster(bins, roster, args.rooms, args.speakers, args.listeners)
    payload = forwarding.DATAGRAM_BYTES - 16 - forwarding.token_bytes(roster)
    if args.target == "baseline":
        target = forwarding.Baseline(bins, work, roster, 600)
    elif args.tool == "callgrind":
        target = ValgrindServer(bins, work, roster, 600, out_dir=out)
    else:
        target = forwarding.Server(bins, work, roster, 600)
    target.start()
    recorder = None
    try:
        if args.tool == "perf":
            recorder = forwarding.spawn(
                ["perf", "record", "-e", "cpu-clock", "-F", "2000", "-g", "-p", str(target.pid),
                 "-o", os.path.join(out, "perf.data")],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            time.sleep(0.5)
        elif args.tool == "stat":
            recorder = forwarding.spawn(
                ["perf", "stat", "-x", ",", "-e",
                 "raw_syscalls:sys_enter,context-switches,task-clock", "-p", str(target.pid),
                 "-o", os.path.join(out, "perf-stat.csv")],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            time.sleep(0.5)
        r = forwarding.run_client(bins, target, roster, args.rate, args.seconds, payload,
                                  extra=("--handshake-timeout-ms", "30000"))
        print(f"forwarded {r['forwarded_per_s']:.0f}/s loss {r['loss_percent']:.3f}% "
              f"cpu {r['cpu_per_million']:.2f} s/M p50 {r['p50_ms']} p99 {r['p99_ms']} ms")
    finally:
        if recorder is not None:
            os.kill(recorder.pid, signal.SIGINT)
            recorder.wait(timeout=30)
        target.stop()
    if args.tool == "stat":
        counts = {}
        with open(os.path.join(out, "perf-stat.csv")) as f:
            for line in f:
                fields = line.strip().split(",")
                if len(fields) > 2 and fields[0].replace(".", "").isdigit():
                    counts[fields[2]] = float(fields[0])
        forwarded = max(r["forwarded"], 1)
        print(f"per forwarded datagram: "
              f"{counts.get('raw_syscalls:sys_enter', 0) / forwarded:.3f} system calls, "
              f"{counts.get('context-switches', 0) / forwarded:.4f} context switches, "
              f"{counts.get('task-clock', 0) * 1e3 / forwarded:.2f} us of CPU "
              f"({forwarded} forwarded)")
    elif args.tool == "perf":
        report = subprocess.run(
            ["perf", "report", "-i", os.path.join(out, "perf.data"), "--no-children",
             "--sort", "dso,symbol", "--stdio", "-g", "none", "--percent-limit", "0.7"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True).stdout
        with open(os.path.join(out, "perf-report.txt"), "w") as f:
            f.write(report)
        print("\n".join(line for line in report.splitlines() if line and not line.startswith("#")))
    else:
        files = [f for f in os.listdir(out) if f.startswith("callgrind.out")]
        for name in files:
            annotate = subprocess.run(["callgrind_annotate", "--inclusive=no",
                                       os.path.join(out, name)],
                                      stdout=subprocess.PIPE, text=True).stdout
            with open(os.path.join(out, name + ".txt"), "w") as f:
                f.write(annotate)
            print("\n".join(annotate.splitlines()[:60]))
    print(f"profile in {out}", file=sys.stderr)


if __name__ == "__main__":
    main()
