#!/usr/bin/env python3
"""Forwarding benchmark: corvane-sfu-server (driven through corvane-gateway) against
bench/baseline_relay, the same corvane-client load against both, alternated A, B, A, B;
--pool, --before-bin and --metrics add targets, run in turn with them (A, B, C, ...).
Each throughput scenario sweeps every target, then overloads it at 1.5 times its own
maximum.

Run through scripts/bench; bench/README.md says how to read the table. Every process it starts
listens on 127.0.0.1 only, runs for a bounded time and is stopped by its PID.
"""

import argparse
import ctypes
import datetime
import functools
import json
import os
import platform
import resource
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts"))
import corvane_harness as harness  # noqa: E402
import bench_targets  # noqa: E402  (bench/bench_targets.py, beside this script)
import fixed_load  # noqa: E402  (bench/fixed_load.py)
import generators  # noqa: E402  (bench/generators.py)
from corvane_harness import free_port  # noqa: E402,F401  (cascade_hop uses fw.free_port)

LOSS_LIMIT_PERCENT = 0.1
# A voice datagram this late is as good as lost to the receiver's jitter buffer. A step whose
# p99.9 latency is above it has a queue that grows (it would lose datagrams were the step
# longer), so it does not count as clean either.
LATE_MS = 20.0
DATAGRAM_BYTES = 200
# A step whose generator sent less than this share of the offered rate is the
# generator's limit, not the forwarder's: the sweep ends there.
OFFERED_SHARE = 0.9
# The overload step: this many times a target's own maximum clean rate, for this long
# (seconds; full mode, --quick), its resident memory sampled this often (seconds); the
# growth is taken from the first sample at least RSS_SETTLE_S into the step to the last.
OVERLOAD_FACTOR = 1.5
OVERLOAD_SECONDS = (6.0, 2.0)
RSS_SAMPLE_S = 0.5
RSS_SETTLE_S = 1.0
CLK_TCK = os.sysconf("SC_CLK_TCK")
PAGE_KIB = os.sysconf("SC_PAGE_SIZE") // 1024


# name, rooms, speakers, listeners per room, first rate per speaker (datagrams/s),
# and the nominal rate the scenario is defined at (None: none).
SCENARIOS = [
    ("1 speaker -> 10 listeners", 1, 1, 10, 2000, None),
    ("1 speaker -> 200 listeners", 1, 1, 200, 100, None),
    ("100 rooms x (2 speakers + 8 listeners)", 100, 2, 8, 50, 50),
]
SCENARIO_KEYS = ["s10", "s200", "rooms"]


# CPUs the forwarder under test (and its gateway) and the load generator are pinned to
# (--pin); None: wherever the kernel schedules them.
PIN = {"target": None, "generator": None}
# Options every corvane-client run of the benchmark gets (--catch-up-ms).
GENERATOR_OPTIONS = []
# corvane-client processes per step (--generators), each simulating its share of the users.
GENERATOR_PROCESSES = {"count": 1}


def _die_with_parent():
    """Runs in each child before exec: SIGTERM when this script goes, however it goes."""
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


def _child_setup(cpus):
    """What a child runs before exec: _die_with_parent and, with `cpus`, its affinity
    (set before exec, so that every thread the program starts inherits it)."""
    def setup():
        _die_with_parent()
        if cpus:
            os.sched_setaffinity(0, cpus)
    return setup


def spawn(cmd, cpus=None, **kwargs):
    return subprocess.Popen(cmd, preexec_fn=_child_setup(cpus), **kwargs)


def parse_pin(text):
    """"T:G" (each a comma list of CPUs or ranges, "0", "0-1", "0,2") into
    ({target CPUs}, {generator CPUs}); ValueError when malformed or not on this machine."""
    def cpus(part):
        out = set()
        for item in part.split(","):
            low, _, high = item.partition("-")
            out.update(range(int(low), int(high or low) + 1))
        if not out or max(out) >= os.cpu_count():
            raise ValueError(f"CPUs {part} not on this machine ({os.cpu_count()} CPUs)")
        return out
    target, sep, generator = text.partition(":")
    if not sep or not target or not generator:
        raise ValueError(f"--pin {text}: expected TARGET_CPUS:GENERATOR_CPUS, e.g. 0:1")
    return cpus(target), cpus(generator)


def log(*args):
    print("bench:", *args, file=sys.stderr, flush=True)


class _ClockReading(ctypes.Structure):
    _fields_ = [("tv_sec", ctypes.c_long), ("tv_nsec", ctypes.c_long)]


_LIBC = ctypes.CDLL(None, use_errno=True)


def cpu_seconds(pid):
    """User plus system CPU of the whole process (every thread, ended ones too): its CPU
    clock (clock_getcpuclockid, nanoseconds), else /proc/PID/stat (clock ticks of 10 ms,
    too coarse for a step of a few seconds at a low rate)."""
    clock = ctypes.c_int()
    spent = _ClockReading()
    if (_LIBC.clock_getcpuclockid(pid, ctypes.byref(clock)) == 0
            and _LIBC.clock_gettime(clock.value, ctypes.byref(spent)) == 0):
        return spent.tv_sec + spent.tv_nsec / 1e9
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    # fields[0] is the state (field 3); utime and stime are fields 14 and 15.
    return (int(fields[11]) + int(fields[12])) / CLK_TCK


def context_switches(pid):
    """Voluntary and involuntary context switches of every thread of the process."""
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/status") as f:
                for line in f:
                    if "ctxt_switches:" in line:  # voluntary_ and nonvoluntary_
                        total += int(line.split()[1])
        except OSError:
            pass  # a thread that ended meanwhile
    return total


def rss_kib(pid):
    with open(f"/proc/{pid}/statm") as f:
        return int(f.read().split()[1]) * PAGE_KIB


class RssSampler:
    """Samples a process's resident memory every RSS_SAMPLE_S seconds in a thread while the
    `with` block runs; `samples` holds (seconds since the start, KiB)."""

    def __init__(self, pid):
        self.pid = pid
        self.samples = []

    def __enter__(self):
        self._started = time.monotonic()
        self._done = threading.Event()
        self._thread = threading.Thread(target=self._sample, daemon=True)
        self._thread.start()
        return self

    def _sample(self):
        while True:
            try:
                kib = rss_kib(self.pid)
            except OSError:
                return  # the process ended
            self.samples.append((round(time.monotonic() - self._started, 2), kib))
            if self._done.wait(RSS_SAMPLE_S):
                return

    def __exit__(self, *exc):
        self._done.set()
        self._thread.join()

    def growth_kib(self):
        """KiB from the first sample once the step settled (RSS_SETTLE_S) to the last."""
        settled = [kib for at, kib in self.samples if at >= RSS_SETTLE_S]
        return settled[-1] - settled[0] if settled else None

    def max_kib(self):
        return max((kib for _, kib in self.samples), default=None)


def stop(proc, timeout=10):
    if proc is None or proc.poll() is not None:
        return
    os.kill(proc.pid, signal.SIGTERM)
    try:
        proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.kill(proc.pid, signal.SIGKILL)
        proc.wait()


def token_bytes(roster_path):
    """Longest token in the roster, so that datagrams come out at DATAGRAM_BYTES."""
    longest = 0
    with open(roster_path) as f:
        for line in f:
            words = line.split()
            if len(words) >= 6 and words[0] == "room":
                longest = max(longest, len(words[5]))
    return longest


class Baseline:
    name = "baseline"
    program = "relay"  # which program of `bins` runs

    def __init__(self, bins, work, roster, max_seconds):
        self.bins, self.work, self.roster, self.max_seconds = bins, work, roster, max_seconds
        self.proc = None

    def start(self):
        port = free_port(socket.SOCK_DGRAM)
        self.address = f"127.0.0.1:{port}"
        errors = os.path.join(self.work, f"{self.program}.err")
        self.proc = spawn(
            [self.bins[self.program], "--listen", self.address, "--users", self.roster,
             "--max-seconds", str(self.max_seconds)],
            cpus=PIN["target"], stdout=subprocess.DEVNULL, stderr=open(errors, "a"))
        time.sleep(0.1)
        if self.proc.poll() is not None:
            raise RuntimeError(f"{self.bins[self.program]} did not start; see {errors}")
        self.idle_rss_kib = rss_kib(self.proc.pid)

    @property
    def pid(self):
        return self.proc.pid

    def stop(self):
        stop(self.proc)


class Server:
    """corvane-sfu-server, its rooms created by corvane-gateway from the same roster."""

    name = "corvane"
    # The configuration's defaults.
    receivers = 2
    dispatchers = 2
    deliver_mode = "inline"
    # Which program of `bins` runs, and lines added to its configuration.
    program = "server"
    extra_config = ""

    def __init__(self, bins, work, roster, max_seconds):
        self.bins, self.work, self.roster, self.max_seconds = bins, work, roster, max_seconds
        self.proc = self.gateway = None

    def _server_alive(self):
        if self.proc is not None and self.proc.poll() is not None:
            raise RuntimeError(f"{self.bins[self.program]} stopped; see sfu.stderr")

    def _wait_for(self, predicate, what, seconds=60):
        self.scripted.wait_for(predicate, what, seconds, check=self._server_alive)

    def start(self):
        gateway_port = free_port(socket.SOCK_STREAM)
        media_port = free_port(socket.SOCK_DGRAM)
        self.address = f"127.0.0.1:{media_port}"
        conf = harness.write_server_config(
            os.path.join(self.work, "sfu.conf"), os.path.join(self.work, "logs"), gateway_port,
            media_port,
            extra=f"receiver_worker_numbers = {self.receivers}\n"
            f"dispatcher_worker_numbers = {self.dispatchers}\n"
            # A build that does not know the key ignores it.
            f"packet_deliver_mode = {self.deliver_mode}\n" + self.extra_config)
        self.scripted = harness.ScriptedGateway(self.bins["gateway"], gateway_port,
                                                os.path.join(self.work, "gateway.out"),
                                                functools.partial(spawn, cpus=PIN["target"]))
        self.gateway = self.scripted.proc
        self._wait_for(lambda out: "listening on" in out, "listening line", 10)
        self.scripted.send("wait-servers 1 20000")
        self.proc = spawn([self.bins[self.program], "-c", conf], cpus=PIN["target"],
                          stdout=subprocess.DEVNULL,
                          stderr=open(os.path.join(self.work, "sfu.stderr"), "a"))
        self._wait_for(lambda out: "servers registered" in out, "registration", 20)
        time.sleep(0.1)
        self.idle_rss_kib = rss_kib(self.proc.pid)
        rooms = set()
        with open(self.roster) as f:
            for line in f:
                words = line.split()
                if len(words) >= 2 and words[0] == "room":
                    rooms.add(words[1])
        self.scripted.send(f"load {self.roster}")
        self._wait_for(lambda out: out.count("result 0 (create room") >= len(rooms),
                       "answer to every create-room", 120)

    @property
    def pid(self):
        return self.proc.pid

    def stop(self):
        stop(self.proc)
        if self.gateway is not None:
            self.scripted.stop(stop)


class UringRelay(Baseline):
    """bench/uring_relay: the same relay reading and sending through io_uring."""

    name = "uring relay"
    program = "uring"


class UringSendRelay(Baseline):
    """bench/uring_relay sending with IORING_OP_SEND and an address, not SENDMSG."""

    name = "uring send"
    program = "uring-send"


class ServerPool(Server):
    """The server with its receive threads handing datagrams to the deliver workers."""

    name = "corvane pool"
    deliver_mode = "pool"


class ServerBefore(Server):
    """Another corvane-sfu-server binary (an earlier build), configured as "corvane"."""

    name = "before"
    program = "before"


class ServerWithMetrics(Server):
    """The same server with its Prometheus exporter on, scraped every second (a
    Prometheus server scrapes every 15 s or so: this is the stricter case)."""

    name = "corvane+metrics"

    def start(self):
        self.metrics_port = free_port(socket.SOCK_STREAM)
        self.extra_config = f"metrics_listen_address = 127.0.0.1:{self.metrics_port}\n"
        super().start()
        self.scrapes = 0
        self._stop_scraping = threading.Event()
        self._scraper = threading.Thread(target=self._scrape, daemon=True)
        self._scraper.start()

    def _scrape(self):
        url = f"http://127.0.0.1:{self.metrics_port}/metrics"
        while not self._stop_scraping.wait(1.0):
            try:
                with urllib.request.urlopen(url, timeout=5) as response:
                    response.read()
                self.scrapes += 1
            except OSError:
                pass

    def stop(self):
        self._stop_scraping.set()
        self._scraper.join()
        super().stop()


def children_cpu_seconds():
    """User plus system CPU of every child of this script that has ended and was waited for."""
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def generator_figures(result, cpu_s, wall_s):
    """The load generator's own cost in one run: its whole process's CPU seconds (`cpu_s`
    over `wall_s` of its life, handshake and drain included) and, from its JSON result,
    each of its loops' share of one core over the traffic. A loop near 100% is the limit
    of what it offered, not the forwarder."""
    traffic = max(result.get("traffic_s", 0), 1e-9)
    return {
        "generator_cpu_s": cpu_s,
        "generator_core_share": cpu_s / max(wall_s, 1e-9),
        "generator_send_share": result.get("send_loop_cpu_s", 0) / traffic
        if "send_loop_cpu_s" in result else None,
        "generator_receive_share": result.get("receive_loop_cpu_s", 0) / traffic
        if "receive_loop_cpu_s" in result else None,
    }


def generator_text(r):
    """The generator's figures of a step, for the log."""
    loops = ""
    if r.get("generator_send_share") is not None:
        loops = (f" (send loop {100 * r['generator_send_share']:.0f}%, receive loop "
                 f"{100 * r['generator_receive_share']:.0f}%)")
    return f"generator {r['generator_cpu_s']:.2f} s, {100 * r['generator_core_share']:.0f}%" + loops


def run_client(bins, target, roster, rate, duration, payload, extra=()):
    """One corvane-client run; the server process's CPU is read around it, the client's
    own from this script's reaped children."""
    cpu_before = cpu_seconds(target.pid)
    switches_before = context_switches(target.pid)
    cmd = [bins["client"], "--server", target.address, "--users", roster,
           "--duration", str(duration), "--rate", str(rate), "--size", str(payload),
           "--report-ms", "0", "--drain-ms", "300", "--threads", "2", "--quiet", "--json",
           *GENERATOR_OPTIONS, *extra]
    groups = [None]
    if GENERATOR_PROCESSES["count"] > 1:
        groups = generators.split_users(roster, GENERATOR_PROCESSES["count"])
    generator_before = children_cpu_seconds()
    started = time.monotonic()
    procs = [subprocess.Popen(
        cmd + ([] if group is None else ["--only", generators.only_option(group)]),
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        preexec_fn=_child_setup(PIN["generator"])) for group in groups]
    outputs = []
    for proc in procs:
        try:
            outputs.append(proc.communicate(timeout=duration + 120))
        except subprocess.TimeoutExpired:
            for other in procs:
                other.kill()
            raise
    wall = time.monotonic() - started
    generator_cpu = children_cpu_seconds() - generator_before
    cpu = cpu_seconds(target.pid) - cpu_before
    switches = context_switches(target.pid) - switches_before
    for stdout, stderr in outputs:
        if not stdout.strip():
            raise RuntimeError(f"corvane-client gave no result: {stderr.strip()[-500:]}")
    result = generators.merge([json.loads(stdout) for stdout, _ in outputs])
    total = result["total"]
    traffic = max(result["traffic_s"], 1e-9)
    admitted = all(u["admitted"] for u in result["users"] if u.get("expects_admission", True))
    return {
        "rate": rate,
        "offered": rate * len([u for u in result["users"] if u["role"] in ("speaker",)]),
        "sent_per_s": total["sent"] / traffic,
        "forwarded_per_s": total["received"] / traffic,
        "forwarded": total["received"],
        "loss_percent": total["loss_percent"] if admitted else 100.0,
        "p50_ms": total["latency_ms"]["p50"],
        "p99_ms": total["latency_ms"]["p99"],
        "p999_ms": total["latency_ms"].get("p999", total["latency_ms"]["max"]),
        "cpu_s": cpu,
        "cpu_per_million": cpu / max(total["received"], 1) * 1e6,
        "switches_per_thousand": switches / max(total["received"], 1) * 1e3,
        **generator_figures(result, generator_cpu, wall),
    }


def sweep(bins, target, roster, first_rate, duration, payload, refine, max_steps):
    """Offered load stepped up (doubling, then bisecting) until a step is not clean (loss above
    the limit, or a queue that grows); the highest clean step is the maximum."""
    clean, failed, steps = None, None, []

    def step(rate):
        if steps and not steps[-1]["clean"]:
            settle()
        r = run_client(bins, target, roster, rate, duration, payload)
        limited = r["sent_per_s"] < OFFERED_SHARE * r["offered"]
        r["clean"] = r["loss_percent"] <= LOSS_LIMIT_PERCENT and r["p999_ms"] <= LATE_MS
        r["generator_limited"] = limited
        steps.append(r)
        log(f"  {target.name:12} rate {rate:>6}/s per speaker: forwarded "
            f"{r['forwarded_per_s']:>9.0f}/s loss {r['loss_percent']:.3f}% "
            f"cpu {r['cpu_per_million']:.2f} s/M p50 {r['p50_ms']:.3f} p99 {r['p99_ms']:.3f} "
            f"p99.9 {r['p999_ms']:.3f} ms; {generator_text(r)}"
            + (" (generator limit)" if limited else ""))
        return r

    rate = first_rate
    while len(steps) < max_steps:
        r = step(rate)
        if r["clean"]:
            if clean is None or r["forwarded_per_s"] > clean["forwarded_per_s"]:
                clean = r
            if r["generator_limited"]:
                break
            rate *= 2
        else:
            failed = r
            if clean is not None:
                break
            if rate <= 10:
                break
            rate //= 2
    if clean is not None and failed is not None:
        low, high = clean["rate"], failed["rate"]
        for _ in range(refine):
            if high - low <= max(1, low // 20) or len(steps) >= max_steps + refine:
                break
            mid = (low + high) // 2
            r = step(mid)
            if r["clean"]:
                low = mid
                if r["forwarded_per_s"] > clean["forwarded_per_s"]:
                    clean = r
            else:
                high = mid
    return clean, steps


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def make_roster(bins, path, rooms, speakers, listeners):
    subprocess.run([bins["client"], "--generate", f"{rooms},{speakers},{listeners}",
                    "--write-users", path], check=True)


def variant_classes(args):
    """One target per --variant NAME:LINES: the server with those configuration lines
    (';'-separated) added after its own; a line given twice, the later one holds."""
    made = getattr(args, "_variant_classes", None)
    if made is None:
        made = []
        for given in args.variant or []:
            name, _, lines = given.partition(":")
            if not name or not lines:
                raise SystemExit(f"--variant {given!r}: want NAME:key = value[;key = value]")
            extra = "".join(line.strip() + "\n" for line in lines.split(";") if line.strip())
            made.append(type(f"Variant_{len(made)}", (Server,),
                             {"name": name, "extra_config": extra}))
        args._variant_classes = made
    return made


def target_classes(args):
    """Baseline and the server, then the extra targets asked for, in the order they run in
    each repetition (A, B, C, ...)."""
    classes = [Baseline] if args.no_server else [Baseline, Server]
    if args.uring:
        classes.append(UringRelay)
    if args.uring_send:
        classes.append(UringSendRelay)
    if args.pool:
        classes.append(ServerPool)
    if args.before_bin:
        classes.append(ServerBefore)
    classes.extend(variant_classes(args))
    if args.metrics:
        classes.append(ServerWithMetrics)
    return classes


def overload(bins, target, roster, max_rate, duration, payload):
    """OVERLOAD_FACTOR times the target's own maximum clean rate for a longer step: loss, the
    latency of the datagrams that arrived, and the resident memory while it runs."""
    rate = max(1, round(max_rate * OVERLOAD_FACTOR))
    with RssSampler(target.pid) as rss:
        r = run_client(bins, target, roster, rate, duration, payload)
    r["generator_limited"] = r["sent_per_s"] < OFFERED_SHARE * r["offered"]
    r["rss_samples_kib"] = rss.samples
    r["rss_growth_kib"] = rss.growth_kib()
    r["rss_max_kib"] = rss.max_kib()
    log(f"  {target.name:12} overload {rate}/s per speaker: forwarded "
        f"{r['forwarded_per_s']:.0f}/s loss {r['loss_percent']:.3f}% p50 {r['p50_ms']:.3f} "
        f"p99 {r['p99_ms']:.3f} p99.9 {r['p999_ms']:.3f} ms, RSS growth "
        f"{fmt(r['rss_growth_kib'], '.0f')} KiB, max {fmt(r['rss_max_kib'], '.0f')} KiB"
        + (" (generator limit)" if r["generator_limited"] else ""))
    return r


def throughput(args, bins, work, key, scenario, reps):
    name, rooms, speakers, listeners, first_rate, nominal = scenario
    roster = os.path.join(work, f"{key}.txt")
    make_roster(bins, roster, rooms, speakers, listeners)
    payload = DATAGRAM_BYTES - 16 - token_bytes(roster)
    targets = target_classes(args)
    runs = {cls.name: [] for cls in targets}

    def with_target(cls, rep, what, body):
        target = cls(bins, work, roster, 600)
        log(f"{name}: {target.name}, {what}, repetition {rep + 1} of {reps}")
        target.start()
        try:
            return body(target)
        finally:
            target.stop()

    def measure(target):
        best, steps = sweep(bins, target, roster, first_rate, args.duration, payload,
                            args.refine, args.max_steps)
        entry = {"max": best, "steps": steps}
        if nominal is not None:
            settle()
            entry["nominal"] = run_client(bins, target, roster, nominal, args.duration, payload)
        if best is not None:
            settle()
            entry["overload"] = overload(bins, target, roster, best["rate"],
                                         args.overload_duration, payload)
        return entry

    for rep in range(reps):
        entries = {}
        for cls in targets:  # A, B, C, ...
            entries[cls.name] = with_target(cls, rep, "sweep", measure)
        # Latency at half load: all at the same offered load, half of the smallest maximum of
        # this repetition, so that none is measured busier than another.
        maxima = [e["max"]["rate"] for e in entries.values() if e["max"]]
        if maxima:
            half = max(1, min(maxima) // 2)
            for cls in targets:
                def at_half(target):
                    r = run_client(bins, target, roster, half, args.duration, payload)
                    log(f"  {target.name:12} half load {half}/s per speaker: forwarded "
                        f"{r['forwarded_per_s']:.0f}/s p50 {r['p50_ms']:.3f} "
                        f"p99 {r['p99_ms']:.3f} ms cpu {r['cpu_per_million']:.2f} s/M; "
                        f"{generator_text(r)}")
                    return r
                entries[cls.name]["half"] = with_target(cls, rep, "half load", at_half)
        for target_name, entry in entries.items():
            runs[target_name].append(entry)
    return summarise(runs)


def uring_usable(path):
    """Whether bench/uring_relay is built and this kernel runs it (it exits with 3 and
    says why when the kernel lacks io_uring or a feature it needs); says why not."""
    if not os.access(path, os.X_OK):
        log(f"no uring relay: {path} is not built (liburing-dev missing?)")
        return False
    with tempfile.NamedTemporaryFile("w", suffix=".txt") as roster:
        roster.write("room 1 user 1 speaker t\n")
        roster.flush()
        try:
            out = subprocess.run([path, "--listen", f"127.0.0.1:{free_port(socket.SOCK_DGRAM)}",
                                  "--users", roster.name, "--max-seconds", "0.05"],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                 timeout=10)
        except subprocess.TimeoutExpired:
            log("no uring relay: it did not stop within 10 s")
            return False
    if out.returncode != 0:
        log(f"no uring relay: {out.stderr.strip().splitlines()[-1] if out.stderr else out.returncode}")
        return False
    return True


def uring_send_wrapper(uring, work):
    """A script in `work` that runs `uring` with --send-op send (exec: the PID measured is
    the relay's)."""
    path = os.path.join(work, "uring_send_relay")
    with open(path, "w") as f:
        f.write(f'#!/bin/sh\nexec "{uring}" --send-op send "$@"\n')
    os.chmod(path, 0o755)
    return path


def settle():
    """Lets queues and socket buffers of an overloaded step drain before the next one."""
    time.sleep(0.5)


def summarise(runs):
    out = {}
    for name, entries in runs.items():
        def pick(part, field):
            return median([e[part][field] for e in entries if e.get(part)])
        out[name] = {
            "max_forwarded_per_s": pick("max", "forwarded_per_s"),
            "max_rate_per_speaker": pick("max", "rate"),
            "generator_limited": any(e["max"] and e["max"]["generator_limited"] for e in entries),
            "cpu_per_million": pick("max", "cpu_per_million"),
            "max_generator_cpu_s": pick("max", "generator_cpu_s"),
            "max_generator_core_share": pick("max", "generator_core_share"),
            "max_generator_send_share": pick("max", "generator_send_share"),
            "max_generator_receive_share": pick("max", "generator_receive_share"),
            "half_generator_core_share": pick("half", "generator_core_share"),
            "half_rate_per_speaker": pick("half", "rate"),
            "half_p50_ms": pick("half", "p50_ms"),
            "half_p99_ms": pick("half", "p99_ms"),
            "nominal_loss_percent": pick("nominal", "loss_percent"),
            "nominal_p50_ms": pick("nominal", "p50_ms"),
            "nominal_p99_ms": pick("nominal", "p99_ms"),
            "nominal_cpu_per_million": pick("nominal", "cpu_per_million"),
            "half_cpu_per_million": pick("half", "cpu_per_million"),
            "half_switches_per_thousand": pick("half", "switches_per_thousand"),
            "overload_rate_per_speaker": pick("overload", "rate"),
            "overload_generator_limited": any(e.get("overload", {}).get("generator_limited")
                                              for e in entries),
            "overload_loss_percent": pick("overload", "loss_percent"),
            "overload_p50_ms": pick("overload", "p50_ms"),
            "overload_p99_ms": pick("overload", "p99_ms"),
            "overload_p999_ms": pick("overload", "p999_ms"),
            "overload_rss_growth_kib": pick("overload", "rss_growth_kib"),
            "overload_rss_max_kib": pick("overload", "rss_max_kib"),
            "runs": entries,
        }
    return out


def memory(args, bins, work, members, reps):
    """Resident memory per member: RSS after `members` joined and were admitted, less the RSS
    of the idle process before the joins."""
    rooms = members // 10
    roster = os.path.join(work, "memory.txt")
    make_roster(bins, roster, rooms, 2, 8)
    payload = DATAGRAM_BYTES - 16 - token_bytes(roster)
    targets = target_classes(args)
    results = {cls.name: [] for cls in targets}
    for rep in range(reps):
        for cls in targets:
            target = cls(bins, work, roster, 600)
            log(f"memory, {members} members: {target.name}, repetition {rep + 1} of {reps}")
            target.start()
            try:
                # Every member is admitted and talks or keeps alive for a second.
                run_client(bins, target, roster, 5, 1, payload,
                           extra=("--handshake-timeout-ms", "30000"))
                per_member = (rss_kib(target.pid) - target.idle_rss_kib) * 1024 / members
                log(f"  {target.name:12} {per_member:.0f} bytes per member")
                results[target.name].append(per_member)
            finally:
                target.stop()
    return {name: median(values) for name, values in results.items()}


def machine():
    cpu = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    with open("/proc/meminfo") as f:
        mem_kib = int(f.readline().split()[1])
    gxx = subprocess.run(["g++", "--version"], stdout=subprocess.PIPE, text=True).stdout
    return {
        "cpu": cpu,
        "cores": os.cpu_count(),
        "memory_gib": round(mem_kib / 1024 / 1024, 1),
        "kernel": platform.release(),
        "os": platform.freedesktop_os_release().get("PRETTY_NAME", "") if hasattr(
            platform, "freedesktop_os_release") else "",
        "compiler": gxx.splitlines()[0] if gxx else "",
    }


def describe_targets(args, bins):
    """Name and a line on what it is, for every target of the run, in running order."""
    what = {
        Baseline.name: "bench/baseline_relay",
        Server.name: f"{bins['server']}, packet_deliver_mode = {Server.deliver_mode}",
        ServerPool.name: f"the same with packet_deliver_mode = {ServerPool.deliver_mode}",
        ServerBefore.name: f"{bins.get('before')}, configured as {Server.name}",
        ServerWithMetrics.name: f"{Server.name} with its exporter on, scraped every second",
        UringRelay.name: "bench/uring_relay (io_uring multishot recvmsg, batched sendmsg)",
        UringSendRelay.name: "bench/uring_relay --send-op send (batched IORING_OP_SEND with"
        " the address, no message header)",
    }
    for cls in variant_classes(args):
        what[cls.name] = f"{Server.name} with " + cls.extra_config.strip().replace("\n", "; ")
    return [{"name": cls.name, "what": what[cls.name]} for cls in target_classes(args)]


def fmt(value, form):
    return "-" if value is None else format(value, form)


def ratio(a, b):
    return None if a is None or b in (None, 0) else a / b


def throughput_rows(scenario, summaries):
    """(label, summary field, format) of the rows of one throughput scenario."""
    half_rate = summaries.get("baseline", {}).get("half_rate_per_speaker")
    limited = any(s["generator_limited"] for s in summaries.values())
    rows = [
        ("max forwarded datagrams/s" + (" (generator limit)" if limited else ""),
         "max_forwarded_per_s", ".0f"),
        ("CPU s per million forwarded (at max)", "cpu_per_million", ".2f"),
        ("load generator CPU s in the max step", "max_generator_cpu_s", ".2f"),
        ("load generator % of one core in the max step", "max_generator_core_share", ".0%"),
        ("  its send loop % of one core (traffic)", "max_generator_send_share", ".0%"),
        ("  its receive loop % of one core (traffic)", "max_generator_receive_share", ".0%"),
        (f"latency p50 ms at half load ({fmt(half_rate, '.0f')}/s per speaker)", "half_p50_ms",
         ".3f"),
        ("latency p99 ms at half load", "half_p99_ms", ".3f"),
        ("CPU s per million at half load", "half_cpu_per_million", ".2f"),
        ("context switches per 1000 forwarded at half load", "half_switches_per_thousand",
         ".1f"),
        ("load generator % of one core at half load", "half_generator_core_share", ".0%"),
    ]
    nominal = scenario[5]
    if nominal is not None:
        rows += [
            (f"loss % at {nominal}/s per speaker", "nominal_loss_percent", ".3f"),
            (f"CPU s per million at {nominal}/s", "nominal_cpu_per_million", ".2f"),
            (f"latency p50 ms at {nominal}/s", "nominal_p50_ms", ".3f"),
            (f"latency p99 ms at {nominal}/s", "nominal_p99_ms", ".3f"),
        ]
    over = f"overload {OVERLOAD_FACTOR:g}x max"
    over_limited = any(s.get("overload_generator_limited") for s in summaries.values())
    rows += [
        (f"{over}: rate per speaker" + (" (generator limit)" if over_limited else ""),
         "overload_rate_per_speaker", ".0f"),
        (f"{over}: loss %", "overload_loss_percent", ".3f"),
        (f"{over}: latency p50 ms", "overload_p50_ms", ".3f"),
        (f"{over}: latency p99 ms", "overload_p99_ms", ".3f"),
        (f"{over}: latency p99.9 ms", "overload_p999_ms", ".3f"),
        (f"{over}: RSS growth KiB", "overload_rss_growth_kib", ".0f"),
        (f"{over}: RSS max KiB", "overload_rss_max_kib", ".0f"),
    ]
    return rows


def table_header(names):
    """Baseline, then each other target with its ratio to the baseline."""
    head = "| scenario | figure | baseline |"
    align = "|---|---|---:|"
    for name in names[1:]:
        head += f" {name} | ratio {name}/baseline |"
        align += "---:|---:|"
    return [head, align]


def table_row(scenario_name, label, values, form):
    """A row of figures, each target's beside its ratio to the baseline (none for shares)."""
    cells = [fmt(values[0], form)]
    for value in values[1:]:
        cells += [fmt(value, form), "" if form.endswith("%") else fmt(ratio(value, values[0]), ".2f")]
    return f"| {scenario_name} | {label} | " + " | ".join(cells) + " |"


def metrics_table(report):
    """Metrics on against off, where the run measured both."""
    with_metrics = [(key, scenario) for key, scenario in zip(SCENARIO_KEYS, SCENARIOS)
                    if report["scenarios"].get(key, {}).get(ServerWithMetrics.name)]
    if not with_metrics:
        return []
    lines = ["", "Metrics on (exporter listening, scraped every second) against off, "
             "in the same run:", "",
             "| scenario | figure | metrics off | metrics on | ratio on/off |",
             "|---|---|---:|---:|---:|"]
    for key, scenario in with_metrics:
        off = report["scenarios"][key]["corvane"]
        on = report["scenarios"][key][ServerWithMetrics.name]
        for label, field, form in (("max forwarded datagrams/s", "max_forwarded_per_s", ".0f"),
                                   ("CPU s per million forwarded (at max)",
                                    "cpu_per_million", ".2f"),
                                   ("CPU s per million at half load",
                                    "half_cpu_per_million", ".2f"),
                                   ("latency p99 ms at half load", "half_p99_ms", ".3f")):
            lines.append(f"| {scenario[0]} | {label} | {fmt(off[field], form)} | "
                         f"{fmt(on[field], form)} | {fmt(ratio(on[field], off[field]), '.2f')} |")
    return lines


def load_text(report):
    """The machine's load average (1, 5, 15 min) when the run started and ended."""
    if "load_average_at_start" not in report:
        return ""
    def triple(values):
        return "/".join(f"{v:.2f}" for v in values) if values else "-"
    return (f" Load average {triple(report['load_average_at_start'])} at the start, "
            f"{triple(report.get('load_average_at_end'))} at the end.")


def targets_text(report):
    described = [f"{t['name']}: {t['what']}" for t in report.get("targets", [])]
    return "Compared: " + "; ".join(described) + "." if described else ""


def table(report):
    m = report["machine"]
    names = [t["name"] for t in report["targets"]]
    lines = [
        f"# Forwarding benchmark, {report['date']}",
        "",
        f"Machine: {m['cpu']}, {m['cores']} cores, {m['memory_gib']} GiB, Linux {m['kernel']}"
        f" ({m['os']}), {m['compiler']}; build {report['build']}; mode {report['mode']}, "
        f"{report['reps']} repetitions (medians), {report['duration_s']} s per step, "
        f"{DATAGRAM_BYTES}-byte datagrams; a step is clean with at most {LOSS_LIMIT_PERCENT}% "
        f"loss and p99.9 latency at most {LATE_MS:.0f} ms." + load_text(report),
        "",
        targets_text(report),
        "",
        *table_header(names),
    ]
    for key, scenario in zip(SCENARIO_KEYS, SCENARIOS):
        summaries = report["scenarios"].get(key)
        if not summaries:
            continue
        for label, field, form in throughput_rows(scenario, summaries):
            values = [summaries.get(name, {}).get(field) for name in names]
            lines.append(table_row(scenario[0], label, values, form))
    mem = report.get("memory")
    if mem:
        lines.append(table_row(f"{mem['members']} members joined (1 room per 10)",
                               "resident bytes per member", [mem.get(n) for n in names], ".0f"))
    lines += metrics_table(report)
    lines += [
        "",
        "Half load: every target at half the smallest of the maxima of each repetition. "
        f"Overload: each target at {OVERLOAD_FACTOR:g} times its own maximum clean rate per "
        f"speaker for {report['overload_s']:g} s; latency over the datagrams that arrived; "
        f"resident memory sampled every {RSS_SAMPLE_S:g} s, growth from the first sample "
        f"{RSS_SETTLE_S:g} s or more into the step to the last.",
        "Load generator: corvane-client's own CPU (user + system, the whole process from start"
        " to exit, handshake and drain included) in % of one core, and each of its two loops'"
        " share of one core over the traffic; a loop near 100% is what limits the offered"
        " load." + (f" Pinned: forwarder (and gateway) to CPUs {report['pin']['target']},"
                    f" generator to CPUs {report['pin']['generator']}." if report.get("pin")
                    else " Not pinned: the kernel places both.")
        + (f" corvane-client ran with {' '.join(report['generator_options'])}."
           if report.get("generator_options") else "")
        + (f" {report['generator_processes']} corvane-client processes per step, the users"
           " dealt out between them; the generator's CPU is theirs together, a loop's share"
           " the busiest process's." if report.get("generator_processes", 1) > 1 else ""),
        "Targets: max forwarded >= 1.0 x baseline with 10 and with 200 listeners and above it"
        " with 100 rooms; CPU per million at half load <= 1.2 x baseline and at 100 rooms x"
        " (2+8) at 50/s <= 1.3 x; p99 at half load < 1 ms; overload p99 latency < 100 ms and"
        " RSS flat; <= 8192 resident bytes per member.",
        *bench_targets.verdict_table(report),
        *fixed_load.table(report.get("fixed"), names, fmt),
        "",
    ]
    return "\n".join(lines)


def write_results(report, stem, text):
    """Writes stem.json, stem.md (the table, also printed) and, where matplotlib
    is installed, stem.svg (bench/plot.py); says what it wrote."""
    with open(stem + ".json", "w") as f:
        json.dump(report, f, indent=1)
    with open(stem + ".md", "w") as f:
        f.write(text)
    print(text)
    import plot  # bench/plot.py, beside this script
    try:
        plotted = plot.write_svg(report, stem + ".svg")
    except ImportError as error:  # python3-matplotlib missing: the table is still there
        log(f"no plot: {error}")
        plotted = False
    return f"{stem}.md, .json" + (" and .svg" if plotted else "")


def main():
    # A SIGTERM unwinds like Ctrl-C, so every started process is stopped on the way out.
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", required=True, help="build directory with the programs")
    parser.add_argument("--out", required=True, help="directory for the results")
    parser.add_argument("--quick", action="store_true", help="one repetition, short steps")
    parser.add_argument("--reps", type=int, help="repetitions (3; 1 with --quick)")
    parser.add_argument("--duration", type=float, help="seconds of traffic per step")
    parser.add_argument("--scenarios", default="s10,s200,rooms,memory",
                        help="comma list of s10, s200, rooms, memory (none: only --fixed)")
    parser.add_argument("--members", type=int, help="members for the memory figure (10000)")
    parser.add_argument("--label", default="", help="added to the result file names")
    parser.add_argument("--metrics", action="store_true",
                        help="also measure the server with metrics_listen_address set and"
                        " scraped every second (\"corvane+metrics\")")
    parser.add_argument("--pool", action="store_true",
                        help="also measure the server with packet_deliver_mode = pool"
                        " (\"corvane pool\")")
    parser.add_argument("--variant", action="append", metavar="NAME:LINES",
                        help="also measure the server with these configuration lines added"
                        " (';'-separated), named NAME; repeatable, e.g. --variant"
                        " 'one thread:receiver_worker_numbers = 1'")
    parser.add_argument("--before-bin", metavar="PATH",
                        help="also measure this corvane-sfu-server (an earlier build) with"
                        " the configuration of \"corvane\" (\"before\")")
    parser.add_argument("--uring", action="store_true",
                        help="also measure bench/uring_relay (\"uring relay\"), the relay on"
                        " io_uring; left out with a note where the kernel lacks it")
    parser.add_argument("--uring-send", action="store_true",
                        help="also measure bench/uring_relay --send-op send (\"uring send\")")
    parser.add_argument("--no-server", action="store_true",
                        help="leave corvane-sfu-server out (relays only, e.g. with --uring)")
    parser.add_argument("--pin", metavar="T:G",
                        help="pin the forwarder (and its gateway) to CPUs T and the load"
                        " generator to CPUs G, e.g. 0:1 (default: not pinned)")
    parser.add_argument("--fixed", metavar="KEY:RATE,...",
                        help="also CPU per forwarded datagram at these fixed loads (scenario"
                        " key and rate per speaker, e.g. s10:4000,s200:200), the targets"
                        " taking turns step by step (bench/fixed_load.py)")
    parser.add_argument("--rounds", type=int,
                        help="rounds of --fixed (9; 5 with --quick)")
    parser.add_argument("--generators", type=int, default=1, metavar="N",
                        help="corvane-client processes per step, the users dealt out between"
                        " them with --only (1): more receiving loops where one is the limit")
    parser.add_argument("--catch-up-ms", type=int, metavar="MS",
                        help="corvane-client --catch-up-ms: a speaker whose sending loop ran"
                        " late sends what it owes up to this far behind (default: the"
                        " client's, ten intervals)")
    parser.add_argument("--server-bin", help="another corvane-sfu-server to measure as"
                        " \"corvane\" (e.g. the build of an earlier commit); the tools still"
                        " come from --build")
    args = parser.parse_args()
    args.reps = args.reps or (1 if args.quick else 3)
    args.duration = args.duration or (1.0 if args.quick else 2.0)
    args.refine = 1 if args.quick else 3
    args.max_steps = 8
    args.overload_duration = OVERLOAD_SECONDS[1 if args.quick else 0]
    members = args.members or (2000 if args.quick else 10000)
    args.rounds = args.rounds or (5 if args.quick else 9)
    try:
        fixed = fixed_load.parse_loads(args.fixed, SCENARIO_KEYS) if args.fixed else []
    except ValueError as error:
        sys.exit(f"bench: {error}")
    GENERATOR_PROCESSES["count"] = max(1, args.generators)
    if args.catch_up_ms:
        GENERATOR_OPTIONS.extend(["--catch-up-ms", str(args.catch_up_ms)])
    if args.pin:
        try:
            PIN["target"], PIN["generator"] = parse_pin(args.pin)
        except ValueError as error:
            sys.exit(f"bench: {error}")

    bins = {
        "server": os.path.join(args.build, "src", "corvane-sfu-server"),
        "gateway": os.path.join(args.build, "tools", "corvane-gateway"),
        "client": os.path.join(args.build, "tools", "corvane-client"),
        "relay": os.path.join(args.build, "bench", "baseline_relay"),
    }
    if args.server_bin:
        bins["server"] = os.path.abspath(args.server_bin)
    if args.before_bin:
        bins["before"] = os.path.abspath(args.before_bin)
    work = tempfile.mkdtemp(prefix="corvane-bench-")
    if args.uring or args.uring_send:
        uring = os.path.join(args.build, "bench", "uring_relay")
        if uring_usable(uring):
            bins["uring"] = uring
            # The same program with its own option: a wrapper keeps Baseline.start as it is.
            bins["uring-send"] = uring_send_wrapper(uring, work)
        else:
            args.uring = args.uring_send = False
    for path in bins.values():
        if not os.access(path, os.X_OK):
            sys.exit(f"bench: {path} is missing; build first")

    wanted = args.scenarios.split(",")
    started = time.time()
    report = {
        "date": datetime.datetime.now().strftime("%Y-%m-%d %H:%M"),
        "machine": machine(),
        "build": os.path.basename(os.path.normpath(args.build)),
        "server_bin": bins["server"],
        "before_bin": bins.get("before"),
        "targets": describe_targets(args, bins),
        "pin": {"target": sorted(PIN["target"]), "generator": sorted(PIN["generator"])}
        if args.pin else None,
        "load_average_at_start": os.getloadavg(),
        "generator_options": GENERATOR_OPTIONS,
        "generator_processes": GENERATOR_PROCESSES["count"],
        "mode": "quick" if args.quick else "full",
        "reps": args.reps,
        "duration_s": args.duration,
        "overload_s": args.overload_duration,
        "scenarios": {},
    }
    try:
        for key, scenario in zip(SCENARIO_KEYS, SCENARIOS):
            if key in wanted:
                report["scenarios"][key] = throughput(args, bins, work, key, scenario, args.reps)
        if fixed:
            report["fixed"] = fixed_load.run(sys.modules[__name__], args, bins, work, fixed,
                                             args.rounds)
        if "memory" in wanted:
            mem = memory(args, bins, work, members, 1 if args.quick else min(args.reps, 2))
            report["memory"] = {"members": members, **mem}
    finally:
        report["elapsed_s"] = round(time.time() - started, 1)
        report["load_average_at_end"] = os.getloadavg()
    os.makedirs(args.out, exist_ok=True)
    suffix = ("-" + args.label) if args.label else ""
    stem = os.path.join(args.out, f"forwarding-{report['mode']}{suffix}")
    written = write_results(report, stem, table(report))
    log(f"done in {report['elapsed_s']} s; {written}; scratch files in {work}")
    if not os.environ.get("CORVANE_BENCH_KEEP"):
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
