#!/usr/bin/env python3
"""Mixing benchmark: how many rooms of 4 speakers and 4 listeners at 50 frames/s per speaker
corvane-mfu-server carries (with mixer_frame_log 1 and 0) against corvane-sfu-server, which
forwards all four speakers; and the idle cost of 1,000 rooms of two silent members.

Run through scripts/bench --mixer; bench/README.md says how to read the table. Every process
listens on 127.0.0.1 only, runs for a bounded time and is stopped by its PID.
"""

import argparse
import datetime
import json
import os
import re
import shutil
import signal
import sys
import tempfile
import time
import urllib.request

import forwarding as fw

# A room count is carried when at least this share of the frames the receivers must get
# arrives (for the mixer: the chosen frames) ...
DELIVERED_SHARE = 0.999
# ... and, for the mixer, the passes start at most this late at p99 (the server's own
# histogram, read from its metrics exporter; the receivers' phase spread only when that
# cannot be read); for the forwarder, the p99.9 latency is at most fw.LATE_MS.
LATE_PASS_MS = 2.0
SPEAKERS, LISTENERS, RATE = 4, 4, 50
LEVELS = (90, 70, 50, 30)
IDLE_ROOMS, IDLE_SECONDS = 1000, 10


def make_roster(path, rooms, speakers, listeners, talking=True):
    user = 1000
    with open(path, "w") as f:
        for room in range(1, rooms + 1):
            for i in range(speakers):
                role = "speaker" if talking else "listener"
                f.write(f"room {room} user {user} {role} tok-{user} level={LEVELS[i % 4]}\n")
                user += 1
            for _ in range(listeners):
                f.write(f"room {room} user {user} listener tok-{user}\n")
                user += 1


class Mixer(fw.Server):
    program = "mfu"

    def __init__(self, bins, work, roster, max_seconds, frame_log):
        super().__init__(bins, work, roster, max_seconds)
        self.frame_log = frame_log
        self.name = f"mfu log={frame_log}"

    def start(self):
        # The mixer's own pass-lateness histogram is read from its exporter at the end of a step.
        self.metrics_port = fw.free_port(fw.socket.SOCK_STREAM)
        self.extra_config = (f"mixer_frame_log = {self.frame_log}\n"
                             f"metrics_listen_address = 127.0.0.1:{self.metrics_port}\n")
        super().start()

    def pass_lateness_p99_ms(self):
        """p99 of the passes' start after their due time, from the server's histogram
        corvane_mixer_pass_lateness_seconds: the upper bound of the bucket that holds the 99th
        percentile (inf when it lies past the last bucket), or None without a scrape."""
        url = f"http://127.0.0.1:{self.metrics_port}/metrics"
        try:
            with urllib.request.urlopen(url, timeout=5) as response:
                text = response.read().decode()
        except OSError:
            return None
        buckets = []
        for m in re.finditer(r'^corvane_mixer_pass_lateness_seconds_bucket\{le="([^"]+)"\} '
                             r'([0-9.e+]+)$', text, re.M):
            buckets.append((float(m.group(1)), float(m.group(2))))
        buckets.sort()
        if not buckets or buckets[-1][1] == 0:
            return None
        total = buckets[-1][1]
        for bound, cumulative in buckets:
            if cumulative >= 0.99 * total:
                return bound * 1000.0
        return float("inf")


class Forwarder(fw.Server):
    name = "sfu"


def run_client(bins, target, roster, duration, extra):
    """One corvane-client run: its JSON summary and the server's CPU seconds meanwhile."""
    cpu_before = fw.cpu_seconds(target.pid)
    cmd = [bins["client"], "--server", target.address, "--users", roster,
           "--duration", str(duration), "--rate", str(RATE), "--size", "24",
           "--report-ms", "0", "--drain-ms", "300", "--threads", "2", "--quiet", "--json",
           "--handshake-timeout-ms", "30000", *extra]
    out = fw.subprocess.run(cmd, stdout=fw.subprocess.PIPE, stderr=fw.subprocess.PIPE,
                            text=True, timeout=duration + 120, preexec_fn=fw._die_with_parent)
    cpu = fw.cpu_seconds(target.pid) - cpu_before
    if not out.stdout.strip():
        raise RuntimeError(f"corvane-client gave no result: {out.stderr.strip()[-500:]}")
    return json.loads(out.stdout), cpu


def lateness_proxy_ms(result):
    """What the receivers see of pass lateness: the mixer sends in passes on a fixed period,
    so each receiver gets its room's frames at one phase of the period but for passes that
    start late (and delivery jitter, so this bounds the lateness from above). Each receiver
    reports the p99 spread of that phase; this is the 99th percentile over the receivers."""
    spreads = sorted(u["pass_spread_ms"] for u in result["users"]
                     if u["latency_ms"]["samples"] > 0)
    return spreads[min(len(spreads) - 1, int(0.99 * len(spreads)))] if spreads else None


def step(args, bins, work, make_target, rooms, mixer):
    roster = os.path.join(work, f"rooms-{rooms}.txt")
    make_roster(roster, rooms, SPEAKERS, LISTENERS)
    target = make_target(roster)
    shutil.rmtree(os.path.join(work, "logs"), ignore_errors=True)
    target.start()
    try:
        result, cpu = run_client(bins, target, roster, args.duration,
                                 ["--mixer"] if mixer else [])
        server_lateness = target.pass_lateness_p99_ms() if mixer else None
    finally:
        target.stop()
    total = result["total"]
    admitted = all(u["admitted"] for u in result["users"])
    delivered = total["received"] / total["expected"] if total["expected"] and admitted else 0.0
    lateness, source = None, "-"
    receivers = lateness_proxy_ms(result) if mixer else None
    if mixer:
        lateness, source = server_lateness, "server"
        if lateness is None:
            lateness, source = receivers, "receivers"
    latency = total["latency_ms"]
    clean = delivered >= DELIVERED_SHARE and (
        lateness is not None and lateness <= LATE_PASS_MS if mixer
        else latency["p999"] <= fw.LATE_MS)
    fw.log(f"  {target.name:10} {rooms:>5} rooms: delivered {100 * delivered:.3f}%"
           f" (unchosen {total['unchosen_received']}) latency p50 {latency['p50']:.3f}"
           f" p99 {latency['p99']:.3f} p99.9 {latency['p999']:.3f} ms, pass lateness p99"
           f" {fw.fmt(lateness, '.3f')} ms ({source}; receivers' phase spread"
           f" {fw.fmt(receivers, '.3f')} ms), cpu {cpu:.2f} s"
           f" -> {'clean' if clean else 'not clean'}")
    return {"rooms": rooms, "delivered": delivered, "lateness_p99_ms": lateness,
            "lateness_source": source, "receivers_spread_p99_ms": receivers, "unchosen": total["unchosen_received"],
            "p50_ms": latency["p50"], "p99_ms": latency["p99"], "p999_ms": latency["p999"],
            "cpu_s": cpu, "clean": clean}


def sweep(args, bins, work, make_target, mixer):
    """Rooms doubled from args.first_rooms until a step is not clean, then bisected."""
    steps, best, failed = [], None, None
    rooms = args.first_rooms
    while len(steps) < args.max_steps and rooms <= args.max_rooms:
        r = step(args, bins, work, make_target, rooms, mixer)
        steps.append(r)
        if not r["clean"]:
            failed = rooms
            break
        best = rooms
        rooms *= 2
    if best is not None and failed is not None:
        low, high = best, failed
        for _ in range(args.refine):
            if high - low <= max(1, low // 10):
                break
            mid = (low + high) // 2
            r = step(args, bins, work, make_target, mid, mixer)
            steps.append(r)
            if r["clean"]:
                low = best = mid
            else:
                high = mid
    return {"max_rooms": best, "capped": failed is None, "steps": steps}


def idle(args, bins, work):
    """1,000 rooms of two silent members: the mixer's CPU, threads and memory per room."""
    roster = os.path.join(work, "idle.txt")
    make_roster(roster, IDLE_ROOMS, 0, 2)
    target = Mixer(bins, work, roster, 600, 0)
    target.start()
    try:
        before_rooms = target.idle_rss_kib
        # Every member is admitted and keeps alive for the whole window.
        cpu_before = fw.cpu_seconds(target.pid)
        t0 = time.time()
        run_client(bins, target, roster, IDLE_SECONDS, ["--keepalive-ms", "1000"])
        elapsed = time.time() - t0
        cpu = fw.cpu_seconds(target.pid) - cpu_before
        with open(f"/proc/{target.pid}/status") as f:
            threads = int(next(line for line in f if line.startswith("Threads:")).split()[1])
        rss = fw.rss_kib(target.pid)
        # CPU with nobody sending: the mixer alone, for a few seconds after the client left.
        cpu_quiet_before = fw.cpu_seconds(target.pid)
        time.sleep(5)
        cpu_quiet = (fw.cpu_seconds(target.pid) - cpu_quiet_before) / 5
    finally:
        target.stop()
    per_room = (rss - before_rooms) * 1024 / IDLE_ROOMS
    fw.log(f"idle: {IDLE_ROOMS} rooms, cpu {100 * cpu / elapsed:.2f}% of a core with keep-alives,"
           f" {100 * cpu_quiet:.2f}% without, {threads} threads, {per_room:.0f} bytes per room")
    return {"rooms": IDLE_ROOMS, "cpu_percent": 100 * cpu / elapsed,
            "cpu_percent_quiet": 100 * cpu_quiet, "threads": threads,
            "bytes_per_room": per_room}


def table(report):
    m = report["machine"]
    lines = [
        f"# Mixing benchmark, {report['date']}",
        "",
        f"Machine: {m['cpu']}, {m['cores']} cores, {m['memory_gib']} GiB, Linux {m['kernel']}"
        f" ({m['os']}), {m['compiler']}; build {report['build']}; {report['duration_s']} s per "
        f"step. Rooms of {SPEAKERS} speakers (levels {', '.join(map(str, LEVELS))}) and "
        f"{LISTENERS} listeners, {RATE} frames/s per speaker. A room count is carried when at "
        f"least {100 * DELIVERED_SHARE:.1f}% of the frames due arrive and, for the mixer, pass "
        f"lateness p99 stays under {LATE_PASS_MS} ms (the forwarder: p99.9 latency under "
        f"{fw.LATE_MS:.0f} ms).",
        "",
        "| server | most rooms carried | ratio to sfu | frames due / s per room |",
        "|---|---:|---:|---:|",
    ]
    sfu = report["rooms"].get("sfu", {}).get("max_rooms")
    for name, r in report["rooms"].items():
        due = SPEAKERS * RATE * (SPEAKERS + LISTENERS - 1) if name == "sfu" else \
            RATE * (2 * (SPEAKERS + LISTENERS) - 2)
        capped = " (not reached)" if r["capped"] else ""
        lines.append(f"| {name} | {fw.fmt(r['max_rooms'], 'd')}{capped} | "
                     f"{fw.fmt(fw.ratio(r['max_rooms'], sfu), '.2f')} | {due} |")
    i = report.get("idle")
    if i:
        lines += [
            "",
            f"Idle: {i['rooms']} rooms of two silent members (listeners keeping alive once a "
            "second), corvane-mfu-server with mixer_frame_log 0:",
            "",
            "| figure | value | target |",
            "|---|---:|---:|",
            f"| CPU, % of one core, with the keep-alives | {i['cpu_percent']:.2f} | < 5 |",
            f"| CPU, % of one core, nobody sending | {i['cpu_percent_quiet']:.2f} | < 5 |",
            f"| threads | {i['threads']} | |",
            f"| resident bytes per room | {i['bytes_per_room']:.0f} | < 65536 |",
        ]
    lines += ["", "Target: the mixing server carries at least 1.5 times the rooms of the "
              "forwarding server.", ""]
    return "\n".join(lines)


def main():
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", required=True, help="build directory with the programs")
    parser.add_argument("--out", required=True, help="directory for the results")
    parser.add_argument("--quick", action="store_true", help="short steps, fewer refinements")
    parser.add_argument("--duration", type=float, help="seconds of traffic per step (5; 2)")
    parser.add_argument("--first-rooms", type=int, default=20, help="first step (20 rooms)")
    parser.add_argument("--max-rooms", type=int, default=3200, help="largest step (3200)")
    parser.add_argument("--parts", default="mfu1,mfu0,sfu,idle",
                        help="comma list of mfu1, mfu0, sfu, idle")
    parser.add_argument("--label", default="", help="added to the result file names")
    args = parser.parse_args()
    args.duration = args.duration or (2.0 if args.quick else 5.0)
    args.refine = 2 if args.quick else 3
    args.max_steps = 10
    bins = {
        "server": os.path.join(args.build, "src", "corvane-sfu-server"),
        "mfu": os.path.join(args.build, "src", "corvane-mfu-server"),
        "gateway": os.path.join(args.build, "tools", "corvane-gateway"),
        "client": os.path.join(args.build, "tools", "corvane-client"),
    }
    for path in bins.values():
        if not os.access(path, os.X_OK):
            sys.exit(f"bench: {path} is missing; build first")
    parts = args.parts.split(",")
    work = tempfile.mkdtemp(prefix="corvane-bench-mixer-")
    started = time.time()
    report = {"date": datetime.datetime.now().strftime("%Y-%m-%d %H:%M"),
              "machine": fw.machine(), "build": os.path.basename(os.path.normpath(args.build)),
              "duration_s": args.duration, "rooms": {}}
    try:
        for part, name, mixer, make in (
                ("mfu1", "mfu, mixer_frame_log 1", True,
                 lambda roster: Mixer(bins, work, roster, 600, 1)),
                ("mfu0", "mfu, mixer_frame_log 0", True,
                 lambda roster: Mixer(bins, work, roster, 600, 0)),
                ("sfu", "sfu", False, lambda roster: Forwarder(bins, work, roster, 600))):
            if part in parts:
                fw.log(f"{name}: rooms sweep")
                report["rooms"]["sfu" if part == "sfu" else name] = sweep(
                    args, bins, work, make, mixer)
        if "idle" in parts:
            report["idle"] = idle(args, bins, work)
    finally:
        report["elapsed_s"] = round(time.time() - started, 1)
    os.makedirs(args.out, exist_ok=True)
    suffix = ("-" + args.label) if args.label else ""
    stem = os.path.join(args.out, f"mixer-{'quick' if args.quick else 'full'}{suffix}")
    written = fw.write_results(report, stem, table(report))
    fw.log(f"done in {report['elapsed_s']} s; {written}; scratch files in {work}")
    if not os.environ.get("CORVANE_BENCH_KEEP"):
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
